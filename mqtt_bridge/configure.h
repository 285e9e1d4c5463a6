// kav_morv_led_mqtt configure (Windows): changes the settings the bridge's service starts with, in
// the product's program-data folder, and only those it is given: from the command line, and from
// standard input as the settings file's "NAME = VALUE" lines (the way an installer hands it the
// password, which never travels on a command line); an empty value takes a setting out. The file is
// written anew with an ACL of its own: administrators and SYSTEM may change it, the bridge's service
// account may read it, nobody else may do either. Anything it refuses fails it, saying why.
#pragma once

#include "settings.h"

#include <vector>

namespace bridge {

// Its exit status: 0 once written (or nothing to change), 1 on anything refused.
int configure(std::vector<Setting> changes, bool from_standard_input);

}  // namespace bridge
