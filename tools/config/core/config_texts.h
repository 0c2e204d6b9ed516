// Every text the configuration editor shows or writes, in one table: the
// sheet, its pages and the Add dialog, the messages, and the registry names.
// The program's own texts stand as they are (the Add dialog's spelling
// included); the refusals after them are this platform's.
#pragma once

namespace qn::config::texts {

// The sheet and its buttons.
inline constexpr const char* kSheetCaption = "Quillnet Configuration Manager";
inline constexpr const char* kOk = "OK";
inline constexpr const char* kCancel = "Cancel";
inline constexpr const char* kApply = "Apply";

// Page "SMTP Email" (dialog 129).
inline constexpr const char* kSmtpTab = "SMTP Email";
inline constexpr const char* kRelayLabel = "Mail Relay Address:";                // 1000
inline constexpr const char* kPrimaryLabel = "Primary (exposed) Domain Name:";   // 1004
inline constexpr const char* kAdvancedGroup = "Advanced Settings (not required)";
inline constexpr const char* kOtherDomainsLabel = "Other Local Domains:";        // 1005
inline constexpr const char* kMaxConnectionsLabel = "Maximum # of Connections:"; // 1003

// Page "Advertisements" (dialog 130).
inline constexpr const char* kAdvTab = "Advertisements";
inline constexpr const char* kAppColumn = "Application";
inline constexpr const char* kVendorColumn = "Vendor";
inline constexpr const char* kDelayColumn = "Delay (sec)";
inline constexpr const char* kAddButton = "&Add";          // 1009
inline constexpr const char* kRemoveButton = "&Remove";    // 1010
inline constexpr const char* kUpButton = "Move &Up";       // 1018
inline constexpr const char* kDownButton = "Move &Down";   // 1019
inline constexpr const char* kLoopCheck = "Continuous Loop";  // 1020
// The question before a removal, around the application's name.
inline constexpr const char* kRemoveQuestionStart = "Are you sure you want to remove the ";
inline constexpr const char* kRemoveQuestionEnd = " Advertisement?";

// Page "WIP Server" (dialog 134).
inline constexpr const char* kWipTab = "WIP Server";
inline constexpr const char* kAuditCheck = "Audit WIP Menu and Resource Downloads";  // 1021

// Dialog 133.
inline constexpr const char* kAddCaption = "Add CAM Advertisement";
inline constexpr const char* kAddText =
    "Please enter the CAM Information for this Advertisment, as well as the number of seconds after "
    "logon that this Ad should appear.";
inline constexpr const char* kAppLabel = "Application:";  // 1014
inline constexpr const char* kVendorLabel = "Vendor:";    // 1015
inline constexpr const char* kSecondsLabel = "# Seconds after previous Advertisement:";  // 1016
inline constexpr const char* kSecondsInitial = "60";

// Validation of whole numbers.
inline constexpr const char* kEnterInteger = "Please enter an integer.";
inline constexpr const char* kEnterIntegerBetween = "Please enter an integer between %ld and %ld.";

// At every close.
inline constexpr const char* kRestartNotice =
    "Any configuration changes will not take effect until the next time you re-start the "
    "Quillnet Server.";

// A save the store refused (%s: its reason).
inline constexpr const char* kSaveFailed = "The configuration could not be saved: %s.";
inline constexpr const char* kReasonAccessDenied = "%s cannot be read or written by this account";
inline constexpr const char* kReasonNotRegistry = "%s is not in the registry export format";
inline constexpr const char* kReasonOther = "%s cannot be written (error %s)";

// Refusals of what the server could not use (%s: one of the fields' names
// below, or the name of a domain).
inline constexpr const char* kRelayField = "Mail Relay Address";
inline constexpr const char* kPrimaryField = "Primary (exposed) Domain Name";
inline constexpr const char* kOtherDomainsField = "Other Local Domains";
inline constexpr const char* kControlCharacters = "The %s may not contain control characters.";
inline constexpr const char* kNameTooLong =
    "The %s holds a name of more than 253 characters, longer than any host or domain name.";
inline constexpr const char* kDomainsCutShort =
    "The server would ignore \"%s\" and every domain after it: its list of Other Local Domains ends "
    "at a comma that follows a blank, a tab or another comma. Separate the domains by commas or by "
    "blanks alone.";
inline constexpr const char* kAdvNameCharacters =
    "The Application and Vendor names may not contain \"~\", tabs or control characters.";
inline constexpr const char* kAdvLineTooLong =
    "The Application and Vendor names are too long: an advertisement is stored in at most 199 "
    "characters, names, separators and seconds together.";

// Registry sections and values.
inline constexpr const char* kSmtpSection = "SMTP";
inline constexpr const char* kRelayValue = "MailRelayAddress";
inline constexpr const char* kPrimaryValue = "PrimaryDomainName";
inline constexpr const char* kOtherDomainsValue = "AdditionalDomainNames";
inline constexpr const char* kMaxConnectionsValue = "MaxConnections";
inline constexpr const char* kAdvertiseSection = "Advertise";
inline constexpr const char* kWipSection = "WIP Server";
inline constexpr const char* kAuditValue = "AuditDownloads";

}  // namespace qn::config::texts
