// Kivora: the main program. It chooses its brand, creates the hidden main window (whose creation
// brings the session up) and runs the event loop; freeing the window takes the session down.
#include <QApplication>
#include <memory>

#include "declare/declare.h"
#include "ma_main.h"

int main(int argc, char** argv) {
  kiv::SetAppType(1);
  QApplication app(argc, argv);
  // The program lives in the tray: hiding or closing its last window does not end it.
  QApplication::setQuitOnLastWindowClosed(false);
  auto main_form = std::make_unique<kiv::TMainForm>();
  const int result = QApplication::exec();
  main_form.reset();
  return result;
}
