#pragma once
// The status texts the operator sees, shared by the window and the
// command-line tool (LoadSequence.h maps each step's result onto them).
namespace status {
inline constexpr const char* kInitializing = "Initializing internal structures and connecting to target .....";
inline constexpr const char* kConnecting = "Connecting to target .....";
inline constexpr const char* kLoadingDaemon = "Loading DEMON to target .... ";
inline constexpr const char* kDaemonAlreadyRunning = "DAEMON is running ....";
inline constexpr const char* kConnectFailed = "Time Out - Cannot connect to target ....";
inline constexpr const char* kDaemonRunning = "DEMON is Running ... ";
inline constexpr const char* kDaemonLoadFailed = "Operation ABORTED - Error during loading...";
inline constexpr const char* kErasing = "Erasing FLASH memory.....";
inline constexpr const char* kErased = "FLASH memory erased ....";
inline constexpr const char* kEraseNoDaemon = "Operation aborted - DAEMON not available";
inline constexpr const char* kEraseFailed = "Operation aborted - DAEMON not responding";
inline constexpr const char* kLoadingFormat = "Loading %s";
inline constexpr const char* kLoadCompleted = "Load file completed ...";
inline constexpr const char* kLoadNoDaemon = "DEMON not available ...";
inline constexpr const char* kLoadFailed = "Load ROM file ERROR...";
// Another step holds the link (a file chosen while a connect sequence runs):
// nothing was sent and nothing else changed.
inline constexpr const char* kBusy = "Target link busy - wait for the running step to finish ....";
}  // namespace status

// Progress range of the daemon download: a little more than its records.
inline constexpr int kDaemonProgressRange = 160;
