// Every text the server manager shows or writes, in one table: titles, tips,
// messages, the shutdown dialogs and the names it reads from the registry.
// The texts are the program's own and stand as they are, misspellings and
// double blanks included.
#pragma once

namespace qn::manager::texts {

// Main window.
inline constexpr const char* kBaseTitle = "Quillnet NT Server Manager 2.10";
inline constexpr const char* kRunningSuffix = " (Running)";
inline constexpr const char* kStoppedSuffix = " (Stopped)";
inline constexpr const char* kInitializingSuffix = " (Initializing)";
inline constexpr const char* kStoppingSuffix = " (Stopping)";

inline constexpr const char* kRegisterMessageFailed = "Register Window Message Failed";
inline constexpr const char* kUnableToStart = "Unable to Start the Server!";
inline constexpr const char* kInvalidTimer = "Invalid Timer";

// Appended to a launcher's message by the launch result.
inline constexpr const char* kOutOfResources = "  Out of Resources.";
inline constexpr const char* kFileNotFound = "  File not found.";
inline constexpr const char* kPathNotFound = "  Path not found.";
inline constexpr const char* kBadFormat = "  Bad file format.";
inline constexpr const char* kAccessDenied = "  Access denied.";

// Buttons: tips and launch failures.
inline constexpr const char* kTipStartStop = "Start or Stop Quillnet NT Server";
inline constexpr const char* kTipMonitor = "View Quillnet NT Server Monitor";
inline constexpr const char* kTipPerfMon = "Launch Performance Monitor";
inline constexpr const char* kTipEvents = "Launch Event Viewer";
inline constexpr const char* kTipAdmin = "Start Quillnet Administrator";
inline constexpr const char* kTipCam = "Start CAM Administrator";
inline constexpr const char* kTipDbAdmin = "Start Database Administrator";
inline constexpr const char* kTipFileLib = "Start File Library Administrator";
inline constexpr const char* kTipForum = "Start Message Forum Administrator";
inline constexpr const char* kTipExit = "Exit Quillnet Server Manager";
inline constexpr const char* kTipConnector = "Launch Quillnet Connector";
inline constexpr const char* kTipWebManager = "Start Web Server Manager";
inline constexpr const char* kTipWebConfig = "Configure Web Server";
inline constexpr const char* kTipWipMenus = "Create or Edit WIP Menus";
inline constexpr const char* kTipWipVector = "Create or Edit WIP Vector Graphics";
inline constexpr const char* kTipCompact = "Repair and Compact Server Databases";
inline constexpr const char* kTipConfig = "Edit Configuration Files";
inline constexpr const char* kTipSdkHelp = "View Developers SDK Help";
inline constexpr const char* kTipHelp = "Help";

inline constexpr const char* kFailMonitor = "Unable to launch Server Monitor.";
inline constexpr const char* kFailPerfMon = "Unable to launch Performance Monitor.";
inline constexpr const char* kFailEvents = "Unable to launch Event Viewer.";
inline constexpr const char* kFailAdmin = "Unable to launch Administrator.";
inline constexpr const char* kFailCam = "Unable to launch CAM Administrator.";
inline constexpr const char* kFailDbAdmin = "Unable to launch Database Administrator.";
inline constexpr const char* kFailFileLib = "Unable to launch File Library Administrator.";
inline constexpr const char* kFailForum = "Unable to launch Message Forum Administrator.";
inline constexpr const char* kFailConnector = "Unable to launch Quillnet Connector.";
inline constexpr const char* kFailWebManager = "Unable to launch Web Server Manager.";
inline constexpr const char* kFailWebConfig = "Unable to launch Web Configuration.";
inline constexpr const char* kFailWipMenus = "Unable to launch WIP Menu Builder.";
inline constexpr const char* kFailWipVector = "Unable to launch WIP Vector Builder.";
inline constexpr const char* kFailCompact = "Unable to Compact databases.";
inline constexpr const char* kFailConfig = "Unable to launch Configuration Editor.";

// The client program's open-file dialog.
inline constexpr const char* kClientDefaultName = "quillnet.exe";
inline constexpr const char* kClientDialogName = "Quillnet.exe";
inline constexpr const char* kClientDialogExtension = "*.exe";
inline constexpr const char* kClientDialogFilter =
    "Executables (*.exe) | *.exe | All Files (*.*) | *.*||";

// Shutdown dialog (143).
inline constexpr const char* kShutdownCaption = "Quillnet Server Shutdown";
inline constexpr const char* kShutdownGroup = "Shutdown the Server";
inline constexpr const char* kRadioNow = "Now";                                           // 1000
inline constexpr const char* kRadioIn = "In";                                             // 1001
inline constexpr const char* kRadioLogoff = "When everyone logs off (disallow new calls)";  // 1002
inline constexpr const char* kMinutesLabel = "Minutes";                                     // 1005
inline constexpr const char* kMinuteLabel = "Minute";
inline constexpr const char* kMessageGroup = "Shutdown Message to all Users Online";
inline constexpr const char* kOk = "OK";
inline constexpr const char* kCancel = "Cancel";
inline constexpr const char* kMessageInitial =
    "Broadcast message from the Administrator: The Quillnet Server is about to shut down.";
inline constexpr const char* kMessageNow =
    "Broadcast message from the Administrator: The Quillnet Server is going to shut down "
    "immediately.";
inline constexpr const char* kMessageInFormat =
    "Broadcase message from the Administrator: The Quillnet Server will shut down in %d minutes.";
inline constexpr const char* kMessageLogoff =
    "Broadcast message from the Administrator: The Quillnet Server is about to shutdown.  Please "
    "finish up and log off.";
inline constexpr const char* kMessageOneMinuteFormat =
    "Broadcase message from the Administrator: The Quillnet Server will shut down in %d minute.";
inline constexpr const char* kMessageMinutesFormat =
    "Broadcast message from the Administrator: The Quillnet Server will shut down in %d minutes.";
inline constexpr const char* kMinutesRange = "Please enter an integer between 1 and 999.";

inline constexpr const char* kNoMonitorAccess =
    "You must be logged on as the same user as the Quillnet Server\nservice account in order to "
    "send a shutdown message!";
inline constexpr const char* kLogoffNeedsAccess =
    "You can not shutdown this way unless you are currently\nlogged on under the same account as "
    "the Quillnet Server service account!";
inline constexpr const char* kFailedAllow = "Failed AllowNewConnections!";
inline constexpr const char* kFailedCount = "Failed GetNbrConnections!";

// Countdown (136) and wait (144) dialogs.
inline constexpr const char* kServerCaption = "Quillnet NT Server";
inline constexpr const char* kWillShutDown = "Quillnet NT Server will shut down";
inline constexpr const char* kCountdownFormat = "in %.02d:%.02d minutes";  // 1046
inline constexpr const char* kShuttingDown =
    "Broadcast message from the Administrator: The Quillnet Server is shutting down.";
inline constexpr const char* kOneMinuteWarning =
    "Broadcast message from the Administrator: The Quillnet Server is going to shut down in 1 "
    "minute.";
inline constexpr const char* kOneUserFormat = "%d user still connected.";  // 1006
inline constexpr const char* kUsersFormat = "%d users still connected.";

// Registry values under the product key.
inline constexpr const char* kManagerSection = "Manager";
inline constexpr const char* kCommandsSection = "Manager\\Commands";
inline constexpr const char* kLeftValue = "Left";
inline constexpr const char* kTopValue = "Top";
inline constexpr const char* kConnectorPathValue = "ConnectorPath";

// Services, the event source and the single-instance names.
inline constexpr const char* kServerService = "QuillnetServer";
inline constexpr const char* kGuardianService = "QuillnetGuardian";
inline constexpr unsigned kEventSourceFlag = 0xC0020001;
inline constexpr const char* kInstanceMutex = "Server Manager Mutex";
inline constexpr const char* kActivateMessage = "Activate Server Manager";

}  // namespace qn::manager::texts
