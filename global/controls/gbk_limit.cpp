#include "controls/gbk_limit.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>

#include "base/gbk.h"

namespace kiv {

std::size_t GbkLength(const QString& text) { return Utf8ToGbk(text.toStdString()).size(); }

QString CutToGbkLength(const QString& text, std::size_t max_bytes) {
  const std::string gbk = Utf8ToGbk(text.toStdString());
  if (gbk.size() <= max_bytes) return text;
  // Characters GBK lacks became "?" (one byte), so the cut is found on the GBK form and mapped back
  // character by character.
  std::size_t used = 0;
  int keep = 0;
  while (keep < text.size()) {
    const int step = text.at(keep).isHighSurrogate() && keep + 1 < text.size() ? 2 : 1;
    const std::size_t bytes = GbkLength(text.mid(keep, step));
    if (used + bytes > max_bytes) break;
    used += bytes;
    keep += step;
  }
  return text.left(keep);
}

TGbkLengthValidator::TGbkLengthValidator(std::size_t max_bytes, QObject* parent)
    : QValidator(parent), max_bytes_(max_bytes) {}

QValidator::State TGbkLengthValidator::validate(QString& input, int& pos) const {
  if (GbkLength(input) <= max_bytes_) return Acceptable;
  input = CutToGbkLength(input, max_bytes_);
  pos = std::min(pos, static_cast<int>(input.size()));
  return Acceptable;
}

void TGbkLengthValidator::fixup(QString& input) const { input = CutToGbkLength(input, max_bytes_); }

void LimitGbkLength(QLineEdit* edit, std::size_t max_bytes) {
  edit->setValidator(new TGbkLengthValidator(max_bytes, edit));
}

void LimitGbkLength(QPlainTextEdit* edit, std::size_t max_bytes) {
  QObject::connect(edit, &QPlainTextEdit::textChanged, edit, [edit, max_bytes] {
    const QString text = edit->toPlainText();
    if (GbkLength(text) <= max_bytes) return;
    const int position = edit->textCursor().position();
    const QString cut = CutToGbkLength(text, max_bytes);
    edit->setPlainText(cut);  // re-enters with text that fits
    QTextCursor cursor = edit->textCursor();
    cursor.setPosition(std::min(position, static_cast<int>(cut.size())));
    edit->setTextCursor(cursor);
  });
}

}  // namespace kiv
