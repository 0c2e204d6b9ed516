// The SMTP gateway: the process's one bridge between members' mail and the
// Internet. It owns the SMTP side (the listener on the SMTP port with its
// connections, and the relay client that carries outgoing mail), hands
// outgoing letters to it one address at a time, and answers the SMTP side's
// two questions (does this recipient exist, deliver this message) through
// virtual hooks that the server's subclass fills.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The "SMTP" settings the gateway starts with.
struct SmtpGatewayConfig {
  std::string relayAddress;       // "MailRelayAddress": dotted address or host name
  std::string primaryDomain;      // "PrimaryDomainName"; empty: the host's official name
  std::string additionalDomains;  // "AdditionalDomainNames", as configured
  int32_t maxConnections = 10;    // "MaxConnections"; -1 means 30
  bool queue = false;             // the server always sends at once
};

// Messages for the relay, each measured as RelayMessageBytes.
struct RelayLoad {
  size_t messages = 0;
  size_t bytes = 0;
};

// The SMTP side as the gateway drives it. The SMTP server and relay client
// implement it and install their factory with SetSmtpListenerFactory; all
// calls come on the main loop.
class CSmtpListenerBase {
 public:
  // Status bits.
  static constexpr unsigned kSetUp = 1u << 0;         // usable (relay and, when asked, listening)
  static constexpr unsigned kListening = 1u << 1;     // the SMTP port accepts connections
  static constexpr unsigned kRelayKnown = 1u << 3;    // the relay's address is resolved
  static constexpr unsigned kHostLookedUp = 1u << 4;  // the host's official name is known

  virtual ~CSmtpListenerBase() = default;
  virtual unsigned GetStatus() const = 0;
  // Starts (or stops) accepting on the SMTP port; false on failure, which
  // leaves relaying working.
  virtual bool Listen(bool on) = 0;
  // The configured primary domain, else the host's official name once it is
  // known; empty before that.
  virtual std::string GetPrimaryDomain() const = 0;
  // One message for one Internet address, through the relay. A sender
  // address without "@" is a member's alias, to be completed with the
  // primary domain. Failures come back to the sender as bounces through
  // SmtpDeliverMessage.
  virtual void QueueRelayMessage(const std::string& senderAddress, const std::string& senderName,
                                 const std::string& recipient, const std::string& subject,
                                 const std::string& body) = 0;

  // What the relay has not taken yet: the messages waiting for a connection
  // and those on open relay connections.
  virtual RelayLoad GetRelayBacklog() const { return {}; }
  // Every message the relay has not taken goes back to its sender with
  // `line` as the reason (the server stops).
  virtual void ReturnUnrelayed(const std::string& line) { (void)line; }
};

// What one relay message counts against the gateway's bound: its texts and
// what holding it costs beside them.
size_t RelayMessageBytes(const std::string& senderAddress, const std::string& senderName,
                         const std::string& recipient, const std::string& subject,
                         const std::string& body);

using SmtpListenerFactory = std::unique_ptr<CSmtpListenerBase> (*)(const SmtpGatewayConfig& config);

// The SMTP side every new gateway gets; returns the factory it replaces. With
// none installed, the gateway gets a stand-in that never listens and drops
// outgoing messages as a relay whose address never resolves would.
SmtpListenerFactory SetSmtpListenerFactory(SmtpListenerFactory factory);

class CSmtpGateway {
 public:
  // Builds the SMTP side when the relay address is set and, with `start`,
  // starts listening. Registers the gateway as the target of
  // SmtpVerifyRecipient and SmtpDeliverMessage.
  CSmtpGateway(bool start, const std::string& name, const SmtpGatewayConfig& config);
  virtual ~CSmtpGateway();
  CSmtpGateway(const CSmtpGateway&) = delete;
  CSmtpGateway& operator=(const CSmtpGateway&) = delete;

  // Whether an inbound recipient (the local part of its address) exists.
  virtual bool VerifyRecipient(const std::string& name);
  // Delivers an inbound message to the recipients (local parts accepted
  // before); false with `errorText` when it could not.
  virtual bool DeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                              const std::string& subject, const std::string& body,
                              std::string& errorText);

  // The primary mail domain; empty without an SMTP side or before the
  // host's name is known.
  std::string GetInternetDomain() const;
  // The SMTP side's status bits; 0 without one.
  unsigned IsRunning() const;
  // Every entry of `recipients` split at commas, then at semicolons; each
  // Internet address among the pieces goes out as a message of its own.
  // False when the gateway does not run.
  bool RelayToInternet(const std::string& senderAddress, const std::string& senderName,
                       const std::vector<std::string>& recipients, const std::string& subject,
                       const std::string& body);

  // Messages waiting for the relay, counted with those promised, are held
  // to these bounds; past them a letter is refused rather than kept.
  static constexpr size_t kMaxRelayMessages = 10000;
  static constexpr size_t kMaxRelayBytes = 8u << 20;
  // What RelayToInternet would queue for these recipients.
  static RelayLoad MeasureRelay(const std::string& senderAddress, const std::string& senderName,
                                const std::vector<std::string>& recipients,
                                const std::string& subject, const std::string& body);
  // Room for `demand` beside the backlog and the other promises: promised
  // (true) until released; none, or the gateway stopping, or not running:
  // false and nothing promised.
  bool PromiseRelay(const RelayLoad& demand);
  void ReleaseRelay(const RelayLoad& demand);
  // RelayToInternet when the bound leaves room for all of it; false (nothing
  // queued) otherwise.
  bool RelayIfRoom(const std::string& senderAddress, const std::string& senderName,
                   const std::vector<std::string>& recipients, const std::string& subject,
                   const std::string& body);
  // At stop, before the gateway goes: nothing more is promised, and every
  // message the relay has not taken goes back to its sender.
  void ReturnUnrelayed();

  const std::string& GetRelayAddress() const { return m_config.relayAddress; }
  CSmtpListenerBase* GetListener() const { return m_pListener.get(); }

 private:
  SmtpGatewayConfig m_config;
  std::unique_ptr<CSmtpListenerBase> m_pListener;
  bool m_bRunning = false;
  bool m_bStopping = false;
  RelayLoad m_promised;
};

// The registered gateway's hooks. Without a gateway nobody exists and every
// delivery counts as done.
bool SmtpVerifyRecipient(const std::string& name);
bool SmtpDeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                        const std::string& subject, const std::string& body, std::string& errorText);

// The gateway's name, the sender of bounces: at most 49 characters, "SMTP
// Gateway" when none was given.
std::string GetSmtpGatewayName();

// An address the relay may be given: "@" neither first nor last, and no
// control character, "<" or ">" anywhere (so nothing of it can reach the
// relay dialogue as a command or break an address out of its brackets).
bool IsInternetAddress(const std::string& text);

// The split of RelayToInternet: each entry with a comma is cut at its first
// comma, the part before it appended to the list and the entry keeping the
// rest, until it has none (appended entries are visited too); then the same
// for semicolons. Blanks are kept; nothing is dropped.
std::vector<std::string> SplitRelayRecipients(std::vector<std::string> entries);
