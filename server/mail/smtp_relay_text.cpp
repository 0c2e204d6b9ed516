#include "server/mail/smtp_relay_text.h"

#include <cstdio>
#include <cstdlib>

namespace qn::smtp {

namespace {

constexpr const char* kVersion = "1.0";
constexpr const char* kTextFollows =
    "\r\nThe message text follows\r\n\r\n============================================\r\n";

bool IsBreak(char c) { return c == ' ' || c == '\t'; }

void EmitLine(std::string& out, const std::string& line) {
  if (!line.empty() && line[0] == '.') out += '.';
  out += line;
}

}  // namespace

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

std::string FullSenderAddress(const std::string& senderAddress, const std::string& primaryDomain) {
  if (senderAddress.find('@') != std::string::npos) return senderAddress;
  return senderAddress + "@" + primaryDomain;
}

std::string FormatRelayDate(const std::tm& local, long utcOffsetSeconds) {
  char when[64];
  std::strftime(when, sizeof when, "%a, %d %b %Y %H:%M:%S", &local);
  // Zones lie within a day of UTC.
  const int minutes = static_cast<int>(std::labs(utcOffsetSeconds) / 60 % (24 * 60));
  char zone[16];
  std::snprintf(zone, sizeof zone, " %c%02d%02d", utcOffsetSeconds < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return std::string(when) + zone;
}

std::string WrapRelayBody(const std::string& body) {
  std::string out;
  out.reserve(body.size() + body.size() / 32 + 16);
  std::string line;
  size_t lastBreak = std::string::npos;
  bool afterAutoBreak = false;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\r' || c == '\n') {
      // CR LF, a lone CR and a lone LF all end the line.
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      EmitLine(out, line);
      out += "\r\n";
      line.clear();
      lastBreak = std::string::npos;
      afterAutoBreak = false;
      continue;
    }
    if (line.size() >= kWrapColumn) {
      if (lastBreak != std::string::npos) {
        std::string rest = line.substr(lastBreak + 1);
        line.resize(lastBreak);
        EmitLine(out, line);
        line = std::move(rest);
      } else {
        EmitLine(out, line);
        line.clear();
      }
      out += "\r\n";
      lastBreak = std::string::npos;
      afterAutoBreak = true;
    }
    if (IsBreak(c)) {
      if (afterAutoBreak && line.empty()) continue;
      lastBreak = line.size();
    }
    line += c;
  }
  EmitLine(out, line);
  return out;
}

std::string ComposeRelayText(const std::string& senderAddress, const std::string& senderName,
                             const std::vector<std::string>& recipients, const std::string& subject,
                             const std::string& body, const std::string& primaryDomain,
                             std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  std::string text;
  text.reserve(body.size() + body.size() / 32 + 256);
  text += "X-Mailer: Quillnet-SMTP ";
  text += kVersion;
  text += "\r\nTo: ";
  for (size_t i = 0; i < recipients.size(); ++i) {
    if (i > 0) text += ",\r\n    ";
    text += OneLine(recipients[i]);
  }
  text += "\r\nDate: " + FormatRelayDate(local, local.tm_gmtoff) + "\r\n";
  text += "From: " + OneLine(senderName) + " <" +
          OneLine(FullSenderAddress(senderAddress, primaryDomain)) + ">\r\n";
  text += "Subject: " + OneLine(subject) + "\r\n\r\n";
  text += WrapRelayBody(body);
  return text;
}

std::string BounceRefusedText(const std::vector<std::string>& refusals, const std::string& text) {
  std::string body =
      "Your message could not be delivered to one or more of the recipients.\r\n"
      "The following errors were returned by the mail relay:\r\n\r\n";
  for (const std::string& line : refusals) body += line + "\r\n";
  return body + kTextFollows + text;
}

std::string BounceFailedText(const std::string& line, const std::string& text) {
  return "Your message could not be delivered to any of the recipients.\r\n"
         "The following error was returned by the mail relay:\r\n\r\n" +
         line + "\r\n" + kTextFollows + text;
}

}  // namespace qn::smtp
