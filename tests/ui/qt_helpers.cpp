#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "platform/ui/wnd.h"
#include "tests/ui/qt_environment.h"

namespace tarn::ui::testing {

bool RunUntil(const std::function<bool()>& done) {
  QElapsedTimer guard;
  guard.start();
  while (!done()) {
    if (guard.elapsed() > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

void Settle() {
  for (int i = 0; i < 3; ++i) tarn::ui::PumpMessages();
}

}  // namespace tarn::ui::testing
