#pragma once

// What a reader process may answer, and how each answer is checked before any of it is used. A
// reader may have been taken over by its file: nothing it says is believed until it has passed
// isHonest(), and its text reaches messages only as plainText().

#include "ImageWorkerProtocol.h"
#include "PictureInput.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ci::io::imagelib {

/// The largest colour profile a file may carry: real ones take a few kilobytes, the largest a few
/// hundred.
constexpr size_t maxProfileBytes = size_t(4) << 20;
/// The most text an answer carries into a message.
constexpr size_t maxTextBytes = 2000;

/// The failure of a file whose reader answered as no honest reader does.
extern const char* const answeredWrongly;

/// What an answer must fit besides its request: for an open, the reader asked for ("" for Qt's
/// plug-ins); for a read, the bytes asked for.
struct Expected {
    std::string format;
    size_t bytes = 0;
};

/// Whether `reply` is an answer an honest reader can give to `request`. For an open: a known
/// status; a header that a picture can have, of the reader asked for, with a profile of the size
/// profiles have. For a read: all the samples asked for, or none. The text is not looked at.
bool isHonest(const worker::Request& request, const worker::Reply& reply, const Expected& expected);

/// A reader's text as plain text for messages: printable characters and line ends of valid UTF-8,
/// no control characters (which a terminal or a label would act on), at most maxTextBytes.
std::string plainText(const std::string& text);

/// The header of an honest answer, as the decoder takes it.
PictureSpec pictureSpec(const worker::Spec& s, std::vector<uint8_t> icc);

} // namespace ci::io::imagelib
