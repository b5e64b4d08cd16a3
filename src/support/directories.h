// Directory roots of the gateway. Each returns an existing directory path
// ending in '/', created when missing. The program data directory is
// $SMSGW_HOME (default ./smsgw-data, made absolute at first use).
#pragma once

#include <string>

namespace support {

std::string GetProgramDataDirectory();  // $SMSGW_HOME/
std::string GetPrivateDataDirectory();  // $SMSGW_HOME/PRIVATE/
std::string GetLogDirectory();          // $SMSGW_HOME/LOGS/
std::string GetDebugLogDirectory();     // $SMSGW_HOME/LOGS/
std::string GetRealProgramDirectory();  // directory of the running executable
std::string GetMMSCLogDirectory();      // $SMSGW_HOME/MMSLOGS/

// Tests point the roots at a temporary home with reset_support_for_tests()
// (support_state.h), which re-reads $SMSGW_HOME.

}  // namespace support
