// The SMTP command and data reader: the same replies and deliveries however
// the stream is cut into reads; bounded memory (what waits of a line or a
// message, and the output of one Feed); the relay's reply reader on the same
// bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/mail/smtp_dialogue.h"
#include "server/mail/smtp_relay_dialogue.h"

namespace {

class Host : public qn::smtp::DialogueHost {
 public:
  std::string GetHostName() const override { return "mx.q.example"; }
  bool IsLocalDomain(const std::string& domain) const override { return domain == "q.example"; }
  bool VerifyRecipient(const std::string& name) override { return !name.empty() && name[0] != 'x'; }
  bool DeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                      const std::string& subject, const std::string& text) override {
    if (recipients.empty() || recipients.size() > qn::smtp::Dialogue::kMaxRecipients) std::abort();
    if (text.size() > qn::smtp::Dialogue::kBufferBytes) std::abort();
    log += sender + '\0' + subject + '\0' + text + '\0';
    return text.size() % 3 != 0;
  }
  std::string log;
};

std::string Run(const uint8_t* data, size_t size, const uint8_t* cuts, size_t cutCount, Host& host) {
  qn::smtp::Dialogue dialogue(host, "192.0.2.1");
  std::string out;
  size_t pos = 0, cut = 0;
  while (pos < size && !dialogue.IsQuit()) {
    size_t piece = cutCount ? 1 + cuts[cut++ % cutCount] : size;
    if (piece > size - pos) piece = size - pos;
    size_t used = 0;
    while (used < piece && !dialogue.IsQuit()) {
      used += dialogue.Feed(reinterpret_cast<const char*>(data) + pos + used, piece - used);
      // One Feed stops soon after the pause mark: one line's reply more.
      if (dialogue.Output().size() > qn::smtp::Dialogue::kOutputPause + 2 * 32768) std::abort();
      out += dialogue.Output();
      dialogue.Output().clear();
    }
    if (dialogue.HeldBytes() > 2 * qn::smtp::Dialogue::kBufferBytes + 64) std::abort();
    pos += piece;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t cutCount = data[0] % 8;
  if (size < 1 + cutCount) return 0;
  const uint8_t* cuts = data + 1;
  const uint8_t* stream = data + 1 + cutCount;
  const size_t length = size - 1 - cutCount;
  Host wholeHost, piecesHost;
  const std::string whole = Run(stream, length, nullptr, 0, wholeHost);
  const std::string pieces = Run(stream, length, cuts, cutCount, piecesHost);
  if (whole != pieces || wholeHost.log != piecesHost.log) std::abort();

  CSmtpEnvelope envelope;
  envelope.senderAddress = "ann";
  envelope.recipients = {"x@y.example", "z@y.example"};
  envelope.text = "TEXT";
  qn::smtp::RelayDialogue relay(envelope, "h", "q.example");
  relay.Feed(reinterpret_cast<const char*>(stream), length);
  relay.OnClosed();
  // Whatever the relay said, the message either went or bounces, once.
  if (!relay.IsDone()) std::abort();
  return 0;
}
