// The mail module's texts and the checks on what clients send, kept apart
// from the database work: message IDs, Internet addresses, the notices put
// into forwarded and inbound mail, return receipts, and the cuts that keep
// stored texts and listed rows within their limits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace qn::mail {

// Text columns of the mail store other than the note hold this much; longer
// texts are cut before they are stored, so both storage modes keep the same.
inline constexpr size_t kColumnChars = 255;

// A message ID as a client sends it: decimal digits only, a value that fits
// 31 bits. Anything else names no message.
bool ParseMessageId(const std::string& text, int32_t& id);

// The mail service's test for a forwarding target or recipient that is an
// Internet address rather than a member ID: it holds "@", and no blank,
// control character, "<" or ">".
bool IsInternetRecipient(const std::string& text);

// "(Original message automatically forwarded from " + from + ")\r\n\r\n"
std::string ForwardNotice(const std::string& from);

// Where a message's header block ends: just after its first "\r\n\r\n", or
// 0 when it has none.
size_t HeaderEnd(const std::string& body);

// The notice put into an inbound message whose sender does not fit the
// SenderID column.
std::string SenderNotice(const std::string& sender);

// What an inbound sender is stored as: "(Unknown)" when empty, the sender
// itself up to 25 characters, else "(See Below)".
std::string InboundSenderId(const std::string& sender);
inline constexpr size_t kInboundSenderChars = 25;

// The note of a letter relayed to an Internet address while its attachment
// waits on the server under `account`.
std::string AttachmentNotice(const std::string& domain, const std::string& account);

// The text of a "Delivery Return Receipt" for a message to `recipient`; both
// times in the C library's ctime form.
std::string ReceiptText(const std::string& recipient, const std::string& subject,
                        std::time_t sent, std::time_t delivered);

// `text` cut to at most `chars` characters.
std::string Cut(const std::string& text, size_t chars);

// The longest note that a listed row with these other texts may carry and
// still travel in one frame.
size_t NoteRoomInRow(const std::string& subject, const std::string& sender,
                     const std::string& fileTitle);

}  // namespace qn::mail
