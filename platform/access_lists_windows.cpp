#include "access_lists.h"

#include <QStringList>
#include <windows.h>
// After windows.h.
#include <sddl.h>

namespace kavo {
namespace {

// The groups every other user who logs on to the PC is a member of:
// Everyone, Authenticated Users, INTERACTIVE and Users.
const QStringList kAnyUserGroups = {QStringLiteral("S-1-1-0"), QStringLiteral("S-1-5-11"),
                                    QStringLiteral("S-1-5-4"), QStringLiteral("S-1-5-32-545")};

bool anyUserGroup(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return false;
    const bool found = kAnyUserGroups.contains(QString::fromWCharArray(text));
    LocalFree(text);
    return found;
}

// The access a user who is no more than a member of those groups has to an
// object with `dacl`, by the list's order: a right denied before it is
// allowed stays denied.
ACCESS_MASK anyUserAccess(PACL dacl) {
    GENERIC_MAPPING files{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
    ACCESS_MASK allowed = 0;
    ACCESS_MASK denied = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        // Allowed and denied entries have the same layout.
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
             header->AceType != ACCESS_DENIED_ACE_TYPE) ||
            !anyUserGroup(&entry->SidStart))
            continue;
        ACCESS_MASK mask = entry->Mask;
        MapGenericMask(&mask, &files);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE)
            denied |= mask & ~allowed;
        else
            allowed |= mask & ~denied;
    }
    return allowed;
}

} // namespace

QString othersAccess(void* descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return {};
    // No list at all lets everyone do anything.
    const ACCESS_MASK access = present && dacl ? anyUserAccess(dacl) : FILE_ALL_ACCESS;
    const bool read = access & FILE_READ_DATA;
    const bool change =
        access & (FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE);
    if (read && change)
        return QStringLiteral("read and changed");
    if (read)
        return QStringLiteral("read");
    return change ? QStringLiteral("changed") : QString();
}

} // namespace kavo
