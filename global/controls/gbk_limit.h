// Input limits counted in GBK bytes, as the records that carry the text count them: a field of
// string[40] takes 40 ASCII characters but only 20 Chinese ones. Main thread only.
#pragma once

#include <QValidator>
#include <cstddef>

class QLineEdit;
class QPlainTextEdit;

namespace kiv {

// Accepts text whose GBK form is at most `max_bytes` long; longer input is cut back on a character
// boundary (pasted text keeps what fits).
class TGbkLengthValidator : public QValidator {
  Q_OBJECT
 public:
  TGbkLengthValidator(std::size_t max_bytes, QObject* parent);
  State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;

 private:
  std::size_t max_bytes_;
};

// The length in bytes of the text's GBK form.
std::size_t GbkLength(const QString& text);
// The longest start of the text whose GBK form fits `max_bytes`.
QString CutToGbkLength(const QString& text, std::size_t max_bytes);

// Limits a line edit or a multi-line box to `max_bytes` GBK bytes.
void LimitGbkLength(QLineEdit* edit, std::size_t max_bytes);
void LimitGbkLength(QPlainTextEdit* edit, std::size_t max_bytes);

}  // namespace kiv
