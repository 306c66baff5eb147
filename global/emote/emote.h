// Global_Emote: emoticons and links in rich text.
//
// An emoticon in a rich-text document is an image whose item name (kEmoteNameProperty of its
// format) is its hot key. Built-in emoticons carry their hot key; a user's own emoticons are
// inserted with an empty name, so they travel as pictures. Before a message is sent its emoticons
// become their hot keys (CoverPicToName); a received message turns hot keys back into pictures
// (CoverNameToPic), at most six per message, so that a message cannot fill a window with them. The
// hot-key table comes from the emoticon plug-in (emote/emote_table.h).
//
// Every function here works on the main thread, on widgets the caller owns, and swallows its own
// failures: a picture that does not load stays text.
#pragma once

#include <QString>
#include <QTextFormat>
#include <optional>

#include "emote/emote_table.h"

class QTextCursor;
class QTextDocument;
class QTextEdit;

namespace kiv {

// The property of a picture's format holding its item name (the hot key; empty for custom ones).
inline constexpr int kEmoteNameProperty = QTextFormat::UserProperty + 0x454D;

// Most named pictures a message may carry, and most pictures one conversion inserts.
inline constexpr int kMaxNamedPictures = 5;
inline constexpr int kMaxInsertedPictures = 6;

// Replaces every named picture by its name as text. False, and nothing changed, when the document
// holds more than kMaxNamedPictures named pictures.
bool CoverPicToName(QTextEdit* edit);
bool CoverPicToName(QTextDocument* document);

// Replaces the hot keys found from document position `position` onwards, left to right, by their
// pictures, and stops after kMaxInsertedPictures. Returns how many pictures were inserted.
int CoverNameToPic(QTextEdit* edit, int position = 0);
int CoverNameToPic(QTextDocument* document, int position, const TEmoteTable& table);

// Converts a hot key just typed into its picture; the caret stays where it was in the text.
void CoverIM(QTextEdit* edit);
void CoverIM(QTextEdit* edit, const TEmoteTable& table);

// `text` as HTML with every hot key replaced by an image tag of its picture; the text itself is
// escaped.
void CoverNameToURL(const QString& text, QString& result);
QString CoverNameToURL(const QString& text, const TEmoteTable& table);

// A web address in `text`: where it starts and how long it is. It starts at the earliest of
// "http://", "https://", "ftp://", "www." and "ftp." (letter case ignored) that has something after
// it, and runs to the first blank or the end.
struct TWebAddress {
  qsizetype start = 0;
  qsizetype length = 0;
};
std::optional<TWebAddress> FindWebAddress(const QString& text);

// Turns the first web address of each text item into a link item whose text and target are the
// address. An item that is already that link is left alone.
void CheckURL(QTextEdit* edit);
void CheckURL(QTextDocument* document);

// Inserts the picture at the caret with the given item name (empty for a custom emoticon). False
// when the picture does not load.
bool OnEmoteClick(QTextEdit* edit, const QString& name, const QString& picture_path);
bool InsertEmotePicture(QTextCursor& cursor, const QString& name, const QString& picture_path);

// The item name of the picture at `position`; nothing when there is no picture there.
std::optional<QString> PictureNameAt(const QTextDocument* document, int position);

}  // namespace kiv
