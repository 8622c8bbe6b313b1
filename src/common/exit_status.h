// The process's exit statuses, each with its one meaning.
#pragma once

namespace kelvantor::exit_status {

inline constexpr int ok = 0;               // normal end, usage text, a configuration that checks
inline constexpr int setsid_failed = 1;    // daemon mode: setsid() failed
inline constexpr int fork_failed = 3;      // daemon mode: fork() failed
inline constexpr int empty_argument = 64;  // an option was given an empty argument
inline constexpr int unavailable = 69;     // smfi_register or gethostname failed
inline constexpr int software = 70;        // libmilter refused -p or -T; a lock failed
inline constexpr int configuration = 71;   // configuration and initialisation errors
inline constexpr int not_permitted = 77;   // started as root (and -u named no other user)

}  // namespace kelvantor::exit_status
