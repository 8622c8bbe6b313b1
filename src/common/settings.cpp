// Storage of the global settings and the local host name.
#include "common/settings.h"

namespace kelvantor {

settings_record settings;
char helo_name[helo_name_size] = {};

}  // namespace kelvantor
