#pragma once

#include <QByteArray>

// Decodes base64 text in either alphabet: '+' or '-' for 62, '/' or '_' for
// 63, with '=' or '.' as padding; a group may also end early without padding.
// Any other character, blanks and line breaks included, makes the text
// malformed; removeLineFeeds drops every '\n' before decoding, so wrapped
// text can be read. Throws std::invalid_argument on malformed text.
QByteArray base64Decode(const QByteArray &text, bool removeLineFeeds = false);
