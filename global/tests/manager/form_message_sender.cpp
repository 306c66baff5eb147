// Test helper: a second program that finds a window by class name and caption and sends it a text,
// as the updater does. Arguments: class name, caption, text (UTF-8). Exit code 0 when delivered,
// 1 when the window was not found, 2 when it did not take the text, 3 on bad arguments.
#include <QCoreApplication>

#include "system/window_helpers.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() != 4) return 3;
  const kiv::TFormHandle form = kiv::FindForm(args[1], args[2]);
  if (!form) return 1;
  return kiv::SendMessageToForm(form, args[3]) == 1 ? 0 : 2;
}
