#pragma once
// zelmo-cli's exit codes: fixed, one per class of failure, so that a script
// can tell them apart. --help and the README list them.
namespace exitcode {
inline constexpr int kOk = 0;
inline constexpr int kOther = 1;        // anything not below (simulated board, output file)
inline constexpr int kUsage = 2;        // bad command line, or a ROM file that cannot be used
inline constexpr int kPortOpen = 3;     // the port could not be opened, or failed on the way
inline constexpr int kNoConnection = 4; // the board did not answer
inline constexpr int kDaemonLoad = 5;   // the daemon could not be loaded
inline constexpr int kErase = 6;        // erase failed
inline constexpr int kUpload = 7;       // programming failed
inline constexpr int kVerify = 8;       // the flash differs from the file
inline constexpr int kRead = 9;         // read-back or run not answered
inline constexpr int kInterrupted = 130;  // Ctrl-C (SIGINT) or SIGTERM

inline constexpr const char* kHelp =
    "Exit codes:\n"
    "  0  success (with several boards: every board)\n"
    "  1  other failure (simulated board, output file)\n"
    "  2  usage error or unusable ROM file\n"
    "  3  the port could not be opened, or failed (hung up, vanished, I/O error)\n"
    "  4  no connection: the board did not answer\n"
    "  5  the daemon could not be loaded\n"
    "  6  erase failed\n"
    "  7  programming failed\n"
    "  8  verify: the flash differs from the file\n"
    "  9  read-back or run: the board stopped answering\n"
    "130  interrupted (Ctrl-C, SIGTERM; 129 after SIGHUP, 141 when the --json reader went away)\n";
}  // namespace exitcode
