// Kivora: the main program. It chooses its brand, creates the hidden main window (whose creation
// brings the session up) and runs the event loop; freeing the window takes the session down.
// "--sign-in" signs in at once as the saved first user of the login list.
#include <QApplication>
#include <memory>
#include <utility>

#include "declare/declare.h"
#include "ma_main.h"

int main(int argc, char** argv) {
  kiv::SetAppType(1);
  QApplication app(argc, argv);
  // The program lives in the tray: hiding or closing its last window does not end it.
  QApplication::setQuitOnLastWindowClosed(false);
  kiv::TManagerOptions options;
  options.sign_in_at_start = QApplication::arguments().contains(QStringLiteral("--sign-in"));
  auto main_form = std::make_unique<kiv::TMainForm>(std::move(options));
  const int result = QApplication::exec();
  main_form.reset();
  return result;
}
