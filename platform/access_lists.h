#pragma once

// What Windows' access control lists let the other users of a PC do with a
// file the service keeps its secrets in, as the mode bits tell on Linux.
// Windows only.

#include <QString>

namespace kavo {

// What any user of the PC (a member of Everyone, Authenticated Users,
// INTERACTIVE and Users, nothing more) may do with an object of this
// security descriptor, a PSECURITY_DESCRIPTOR, by its list's order:
// "read", "changed", "read and changed", or empty.
QString othersAccess(void* descriptor);

} // namespace kavo
