// Writes the fuzz seeds into a corpus directory: rpc_fuzz_seeds DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz_server_pdu.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int i = 0;
  for (const auto& s : tarn::rpc::test::FuzzSeeds()) {
    std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(i++), std::ios::binary);
    out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
  }
  return 0;
}
