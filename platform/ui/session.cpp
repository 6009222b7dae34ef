#include "platform/ui/session.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>
#include <QWidget>
#include <unistd.h>

#include "platform/ui/wnd.h"

namespace tarn::ui {

namespace {

constexpr LONG kNotFound = 2;
constexpr LONG kAccessDenied = 5;

QString AutostartDir() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/autostart";
}

// Exec= quoting of the desktop entry specification: arguments with
// reserved characters are quoted, and quotes and backslashes escaped.
QString QuoteExecArgument(const QString& arg) {
  static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
  bool plain = !arg.isEmpty();
  for (QChar c : arg)
    if (reserved.contains(c)) plain = false;
  if (plain) return arg;
  QString out = "\"";
  for (QChar c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The command as "path -start": only the program path may hold blanks.
QString ExecLine(const std::string& command) {
  QString text = QString::fromStdString(command);
  QString args;
  int cut = text.lastIndexOf(" -");
  if (cut > 0) {
    args = text.mid(cut);
    text = text.left(cut);
  }
  // '%' is a field code in Exec lines.
  return QuoteExecArgument(text).replace("%", "%%") + args;
}

QString UnquoteExec(QString exec) {
  exec.replace("%%", "%");
  if (!exec.startsWith('"')) return exec;
  QString out;
  int i = 1;
  for (; i < exec.size() && exec[i] != '"'; ++i) {
    if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
    out += exec[i];
  }
  return out + exec.mid(i + 1);
}

bool WriteFileAtomically(const QString& path, const QString& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
  file.write(text.toUtf8());
  return file.commit();
}

QString DesktopEntry(const std::string& name, const std::string& title, const QString& exec, const QString& icon,
                     bool autostart) {
  QString text;
  QTextStream out(&text);
  out << "[Desktop Entry]\n"
      << "Type=Application\n"
      << "Name=" << QString::fromStdString(title) << "\n"
      << "Exec=" << exec << "\n";
  if (!icon.isEmpty()) out << "Icon=" << icon << "\n";
  out << "Terminal=false\n"
      << "Categories=Utility;Security;\n"
      << "StartupWMClass=" << QString::fromStdString(name) << "\n";
  if (autostart) out << "X-GNOME-Autostart-enabled=true\n";
  return text;
}

}  // namespace

std::string AutostartEntryPath(const std::string& name) {
  return (AutostartDir() + "/" + QString::fromStdString(name).toLower() + ".desktop").toStdString();
}

LONG ReadAutostartEntry(const std::string& name, std::string* command) {
  QFile file(QString::fromStdString(AutostartEntryPath(name)));
  if (!file.exists()) return kNotFound;
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return kAccessDenied;
  while (!file.atEnd()) {
    QString line = QString::fromUtf8(file.readLine()).trimmed();
    if (line.startsWith("Exec=")) {
      *command = UnquoteExec(line.mid(5)).toStdString();
      return 0;
    }
  }
  return kNotFound;
}

LONG WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& command) {
  QString path = QString::fromStdString(AutostartEntryPath(name));
  return WriteFileAtomically(path, DesktopEntry(name, title, ExecLine(command), QString::fromStdString(name), true))
             ? 0
             : kAccessDenied;
}

LONG DeleteAutostartEntry(const std::string& name) {
  QFile file(QString::fromStdString(AutostartEntryPath(name)));
  if (!file.exists()) return kNotFound;
  return file.remove() ? 0 : kAccessDenied;
}

bool InstallLauncher(const std::string& name, const std::string& title, const std::string& command,
                     const std::string& iconResource) {
  QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  QString iconPath = data + "/icons/hicolor/48x48/apps/" + QString::fromStdString(name) + ".png";
  bool ok = true;
  QFile icon(QString::fromStdString(iconResource));
  if (icon.open(QIODevice::ReadOnly)) {
    QByteArray bytes = icon.readAll();
    QFile existing(iconPath);
    if (!existing.open(QIODevice::ReadOnly) || existing.readAll() != bytes) {
      QDir().mkpath(QFileInfo(iconPath).absolutePath());
      QSaveFile out(iconPath);
      ok = out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit();
    }
  }
  QString entryPath = data + "/applications/" + QString::fromStdString(name) + ".desktop";
  QString entry = DesktopEntry(name, title, ExecLine(command), QString::fromStdString(name), false);
  QFile existing(entryPath);
  if (existing.open(QIODevice::ReadOnly) && QString::fromUtf8(existing.readAll()) == entry) return ok;
  return WriteFileAtomically(entryPath, entry) && ok;
}

InstanceMark::InstanceMark() = default;
InstanceMark::~InstanceMark() = default;

std::string InstanceMark::SocketName(const std::string& title) {
  QString name = QString::fromStdString(title);
  name.replace(' ', '-');
  return (name + "-" + QString::number(getuid())).toStdString();
}

bool InstanceMark::ActivateOther(const std::string& title) {
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(SocketName(title)));
  if (!socket.waitForConnected(1000)) return false;
  socket.write("show\n");
  socket.waitForBytesWritten(1000);
  // The answer says the window was shown; a holder that does not answer
  // still counts as running.
  socket.waitForReadyRead(2000);
  socket.disconnectFromServer();
  return true;
}

bool InstanceMark::Claim(const std::string& title, CWnd* window) {
  m_server = std::make_unique<QLocalServer>();
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  QString name = QString::fromStdString(SocketName(title));
  if (!m_server->listen(name)) {
    // Nobody answered ActivateOther, so the socket is a dead process's.
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) return false;
  }
  HWND target = window ? window->GetSafeHwnd() : nullptr;
  QLocalServer* server = m_server.get();
  QObject::connect(server, &QLocalServer::newConnection, server, [server, target] {
    while (QLocalSocket* client = server->nextPendingConnection()) {
      QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      QObject::connect(client, &QLocalSocket::readyRead, client, [client, target] {
        if (!client->readAll().contains("show")) return;
        if (CWnd* wnd = CWnd::FromHandle(target)) {
          wnd->ShowWindow(SW_SHOW);
          wnd->ShowWindow(SW_RESTORE);
          if (QWidget* w = wnd->GetQWidget()) {
            w->raise();
            w->activateWindow();
          }
        }
        client->write("shown\n");
      });
    }
  });
  return true;
}

}  // namespace tarn::ui
