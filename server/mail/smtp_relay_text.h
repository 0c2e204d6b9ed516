// The texts of outgoing Internet mail, composed without I/O: the message
// the relay is given (headers, then the body wrapped at 70 columns with
// leading dots doubled) and the bodies of the bounces that come back to the
// sender.
#pragma once
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace qn::smtp {

inline constexpr size_t kWrapColumn = 70;

// `text` with every CR and LF turned into a blank: a header line or command
// argument made of it stays one line.
std::string OneLine(std::string text);

// The sender address as the relay sees it: with "@" and the primary domain
// added when it has no "@".
std::string FullSenderAddress(const std::string& senderAddress, const std::string& primaryDomain);

// "%a, %d %b %Y %H:%M:%S" of `local` and the zone as a sign and HHMM from
// the offset east of UTC.
std::string FormatRelayDate(const std::tm& local, long utcOffsetSeconds);

// The body as it goes out: every line end becomes CR LF (a lone CR or LF
// too); lines longer than 70 characters are broken at their last blank or
// tab (which becomes the line end), else after the 70th character, and
// blanks and tabs at the start of a line made by a break are dropped; then
// a line that begins with "." gets a second one. No line end is added after
// the last character.
std::string WrapRelayBody(const std::string& body);

// The whole message text: X-Mailer, To, Date (the local time of `now`),
// From, Subject, an empty line and the wrapped body. CR and LF in the
// sender's name and the subject become blanks.
std::string ComposeRelayText(const std::string& senderAddress, const std::string& senderName,
                             const std::vector<std::string>& recipients, const std::string& subject,
                             const std::string& body, const std::string& primaryDomain,
                             std::time_t now);

// The bounce after the relay refused every recipient: each refusal line.
std::string BounceRefusedText(const std::vector<std::string>& refusals, const std::string& text);
// The bounce after any other failure, with the line that tells it.
std::string BounceFailedText(const std::string& line, const std::string& text);

inline constexpr const char* kBounceSubject = "Mail returned to sender";
inline constexpr const char* kRelayClosedLine = "Connection to relay unexpectedly closed";
// The reason given to the senders of what the relay had not taken when the
// server stopped.
inline constexpr const char* kServerStoppedLine = "Server stopped before the message was relayed";

}  // namespace qn::smtp
