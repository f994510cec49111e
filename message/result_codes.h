// Result codes shared by the message library and the transfer-encoding numbers. Every
// operation of the library reports through these integers; 0 always means success.
#pragma once

namespace tarnhold {

// The transfer encodings of a part, numbered as they are stored in attachment records and
// passed as text in attachment parameter lists.
enum TransferEncoding : int {
  kEncoding7Bit = 0,
  kEncodingBase64 = 1,
  kEncodingQuotedPrintable = 2,
  kEncoding8Bit = 3,
  kEncodingBinary = 4,
  kEncodingBinHex40 = 5,
  kEncodingMultipart = 6,
};

inline constexpr int kResultOk = 0;
inline constexpr int kResultNotFound = 1;       // not found, not this format, nothing to do
inline constexpr int kResultNoBeginLine = 7;    // no "begin " line for a uuencoded block
inline constexpr int kResultUuDataEnded = 33;   // data ended inside a uuencoded block
inline constexpr int kResultBodyTooLong = 35;   // body longer than the body capacity
inline constexpr int kResultBadIndex = 38;      // attachment index out of range
inline constexpr int kResultSourceOpen = 73;    // message source cannot be opened
inline constexpr int kResultSourceClose = 74;   // message source cannot be closed
inline constexpr int kResultOpenFailed = 80;    // source/destination cannot be opened
inline constexpr int kResultCloseFailed = 81;   // a close failed after encoding
inline constexpr int kResultShortWrite = 82;    // a write returned a short count
inline constexpr int kResultNulIn7Bit = 83;     // a NUL byte in 7BIT data
inline constexpr int kResultLineTooLong = 84;   // a line too long for 7BIT or 8BIT
inline constexpr int kResultNoAttachment = 99;  // no attachment given to a part encoder
inline constexpr int kResultNoMemory = 101;     // no memory for the body buffer
inline constexpr int kResultNotSupported = -1;  // BINHEX40

}  // namespace tarnhold
