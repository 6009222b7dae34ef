// netdiskd: serves a disk to network disk clients.
//
//   netdiskd --listen 127.0.0.1:9000 disk.img [--read-only]
//   netdiskd --listen 0.0.0.0:9000 --nbd nbd+unix:///?socket=/run/nbd.sock
//
// Prints "netdiskd: listening on HOST:PORT, SIZE bytes" once it accepts
// clients (a port of 0 picks a free one), and ends cleanly on SIGTERM or
// SIGINT.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "disk_store.h"
#include "exchange_log.h"
#include "server.h"

namespace {

bool SplitHostPort(const std::string& Text, std::string* Host, uint16_t* Port) {
  auto colon = Text.rfind(':');
  if (colon == std::string::npos) return false;
  *Host = Text.substr(0, colon);
  std::string port = Text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long value = std::stoul(port);
  if (value > 65535) return false;
  *Port = uint16_t(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"netdiskd: serves a file or an NBD export as a network disk"};
  std::string listen, file, nbdUri, logPath;
  bool readOnly = false;
  netdiskd::ServerOptions options;
  app.add_option("--listen", listen, "HOST:PORT to accept clients on")->required();
  auto* fileOption = app.add_option("file", file, "file or block device holding the disk");
  auto* nbdOption = app.add_option("--nbd", nbdUri, "serve this NBD export (a libnbd URI) instead of a file");
  fileOption->excludes(nbdOption);
  app.add_flag("--read-only", readOnly, "refuse writes");
  app.add_option("--log", logPath, "append one line per exchange to this file");
  app.add_option("--max-clients", options.MaxClients, "connections served at once")->check(CLI::PositiveNumber);
  app.add_option("--record-timeout-ms", options.RecordTimeoutMs,
                 "close a connection whose request stops part-way for this long")
      ->check(CLI::PositiveNumber);
  app.add_option("--drop-after", options.Faults.DropAfter, "fault: close each connection after N exchanges");
  app.add_option("--delay-ms", options.Faults.DelayMs, "fault: wait this long before every reply");
  app.add_flag("--corrupt-length", options.Faults.CorruptLength, "fault: send wrong length fields in replies");
  app.add_flag("--stall", options.Faults.Stall, "fault: stop answering part-way through read and write replies");
  CLI11_PARSE(app, argc, argv);

  if (file.empty() == nbdUri.empty()) {
    fprintf(stderr, "netdiskd: give either a FILE or --nbd URI\n");
    return 2;
  }
  if (!SplitHostPort(listen, &options.Host, &options.Port)) {
    fprintf(stderr, "netdiskd: --listen wants HOST:PORT, not \"%s\"\n", listen.c_str());
    return 2;
  }

  // Signals are taken by one thread with sigwait, so no handler runs in the
  // middle of a session; blocked before any other thread starts.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  std::unique_ptr<netdiskd::DiskStore> store = nbdUri.empty() ? netdiskd::OpenFileStore(file, readOnly, &error)
                                                              : netdiskd::OpenNbdStore(nbdUri, readOnly, &error);
  if (store == nullptr) {
    fprintf(stderr, "netdiskd: %s\n", error.c_str());
    return 1;
  }
  netdiskd::ExchangeLog log;
  if (!logPath.empty() && !log.Open(logPath, &error)) {
    fprintf(stderr, "netdiskd: %s\n", error.c_str());
    return 1;
  }
  netdiskd::Server server(*store, log, options);
  if (!server.Listen(&error)) {
    fprintf(stderr, "netdiskd: %s\n", error.c_str());
    return 1;
  }

  std::thread signalWaiter([&server, stopSignals] {
    int received = 0;
    sigwait(&stopSignals, &received);
    server.Stop();
  });
  printf("netdiskd: listening on %s:%u, %lld bytes%s\n", options.Host.c_str(), unsigned(server.Port()),
         static_cast<long long>(store->Size()), store->ReadOnly() ? ", read-only" : "");
  fflush(stdout);

  server.Run();
  // Run returns after Stop (from the signal thread) or when listening broke
  // down; then the signal thread is woken so it can be joined.
  bool failed = !server.Stopping();
  if (failed) pthread_kill(signalWaiter.native_handle(), SIGTERM);
  signalWaiter.join();
  fprintf(stderr, failed ? "netdiskd: stopped after an error\n" : "netdiskd: stopped\n");
  return failed ? 1 : 0;
}
