// Live reload: the configuration file read again on SIGHUP or on the control
// socket's "reload", its routes, exemptions and run-time settings put in force
// without a restart.  The cache and the MTA's connections are kept; a file
// with any error is not taken at all.
#pragma once

#include <string>

#include "common/settings.h"
#include "shared/shared_store.h"

namespace kelvantor {

// What a reload starts from: the file, and the settings of the defaults and
// the command line (what a keyword left out of the file falls back to).
void reload_prepare(std::string config_path, const settings_record& baseline);

// Reads the file again and puts it in force, or keeps the running
// configuration and logs why; one reload at a time.  True when reloaded;
// otherwise why, when given, receives the reason the log line gives.
bool reload_configuration(std::string* why = nullptr);

// The shared store as the running settings configure it (a store is
// configured), with the lifetimes the cache judges by.
shared_store_config shared_store_configuration();

// From now on a SIGHUP that libmilter's signal thread waits for runs a reload
// instead of ending the milter (the main loop has not started before).
void reload_on_sighup();

}  // namespace kelvantor
