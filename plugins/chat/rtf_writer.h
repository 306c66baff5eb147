// Writers for the chat-record export: a QTextDocument as RTF and as wrapped plain text.
//
// Qt reads and writes HTML, Markdown and ODF, but has no RTF writer, and the record export offers
// RTF ("Word文档") because every word processor opens it. This writer covers what a chat record
// holds: paragraphs with their alignment, line breaks and tabs, fonts (family, size, bold, italic,
// underline), text colours through the colour table, and pictures as PNG.
//
// The RTF is plain ASCII. Characters outside ASCII are written as \uN\'3f (N the signed 16-bit
// value of each UTF-16 unit, so a character outside the BMP becomes its two surrogates, as RTF
// readers expect; \'3f, "?", the one-byte fallback for readers without Unicode), "\", "{" and "}"
// are escaped, and a lone surrogate becomes U+FFFD. The header declares code page 936, the code page of the
// documents' usual readers.
//
// Main thread (QTextDocument); a QGuiApplication must exist for documents with pictures.
#pragma once

#include <QString>
#include <functional>
#include <string>

class QTextDocument;
class QTextImageFormat;

namespace kiv::chat {

// The text written in place of a picture by DocumentToText (an emoticon's name, say); nothing when
// empty.
using TPictureText = std::function<QString(const QTextImageFormat&)>;

// The whole document as an RTF file's bytes.
std::string DocumentToRtf(const QTextDocument& document);

// The document's text, one line per paragraph, each wrapped to at most `line_width` characters (at
// the last space within the width where there is one), lines ending in "\n". Pictures become
// `picture_text` of them, or nothing.
QString DocumentToText(const QTextDocument& document, int line_width, const TPictureText& picture_text = {});

}  // namespace kiv::chat
