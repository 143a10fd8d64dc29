#pragma once

#include <QString>

#include <string>
#include <string_view>

class QUrl;

namespace tavo::ui {

// Settings are bytes: a path or a protocol string may have been written on another system, in
// another encoding, and must reach the port and the settings file unchanged. The window holds
// them as text: valid UTF-8 becomes its characters, and any other byte B becomes the lone
// surrogate U+DC00 + B, which decoding valid UTF-8 never yields. BytesFromText undoes that
// exactly; a lone surrogate of any other kind (never made here) is written as U+FFFD.
QString TextFromBytes(std::string_view bytes);
std::string BytesFromText(const QString& text);

// The name Qt gives the file at that path. Qt decodes file names as UTF-8, turning any other byte
// into U+FFFD, so a path that is not valid UTF-8 names no file Qt can find (and Qt's listings
// leave such files out).
QString QtPathFromText(const QString& text);

// The local file of a dropped URL, its bytes taken from the URL's percent-encoding; empty when
// the URL is not a local file.
QString TextFromFileUrl(const QUrl& url);

} // namespace tavo::ui
