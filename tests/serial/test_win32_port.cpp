// The Windows port backend where no serial hardware is needed: what an open
// that fails leaves behind. The line itself is exercised end to end under
// Wine by tests/windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "CommPort.h"
#include "VirtualLine.h"

namespace {

TEST(Win32Port, FailedOpensGiveTheSystemsReasonAndLeaveNothingOpen) {
    // COM87 is in no table and on no machine's bus.
    EXPECT_EQ(CommOpen("COM87", 9600, 0, 8, 0), 1);
    EXPECT_EQ(CommIsOpen(), 0);
    const std::string missing = CommOpenError();
    // The device path that was tried, and the system's words for why.
    EXPECT_EQ(missing.rfind("cannot open COM87: ", 0), 0u) << missing;
    EXPECT_GT(missing.size(), std::string("cannot open COM87: ").size() + 5) << missing;
    EXPECT_EQ(missing.find("system error"), std::string::npos) << missing;
    EXPECT_NE(missing.back(), '\n');

    // An ordinary file opens, but is no port: refused, and released again
    // (a handle kept open would stop the file being removed).
    const auto file = std::filesystem::temp_directory_path() / "zelmo-not-a-port.txt";
    std::ofstream(file) << "x";
    EXPECT_EQ(CommOpen(file.string().c_str(), 9600, 0, 8, 0), 1);
    EXPECT_NE(CommOpenError().find("not a serial port"), std::string::npos) << CommOpenError();
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::remove(file, ec)) << ec.message();

    // After the failures the one port of the process is still free.
    VirtualLineT line("win32-after-failures");
    EXPECT_EQ(CommOpen("win32-after-failures", 9600, 0, 8, 0), 0) << CommOpenError();
    EXPECT_EQ(CommClose(), 0);
}

}  // namespace
