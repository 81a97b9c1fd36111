#pragma once
// Who is at the other end of the control channel, and whether that account may run, stop and
// change the capture: members of Administrators, and the accounts and groups the shop names in
// the service's Operators value. Everyone else may only look.
#include <windows.h>

#include <string>
#include <vector>

#include "capture/Requester.h"

// A SID as its bytes, so that lists of them own their memory.
using SidBytes = std::vector<BYTE>;

SidBytes CopySid(PSID sid);

// What the decision reads from a client's token.
struct TokenFacts {
    SidBytes user;
    struct Group {
        SidBytes sid;
        DWORD attributes = 0; // SE_GROUP_*
    };
    std::vector<Group> groups;
};

// Administrators counts enabled or deny-only: a UAC-filtered administrator's token carries it
// deny-only, and the tray window of such a user is never elevated. An operator entry counts
// for the user SID or an enabled group; a deny-only group is one the token has given up.
bool MayControl(const TokenFacts& token, const std::vector<SidBytes>& operators);

// The Operators entries as SIDs: a SID string, or an account or group name Windows resolves.
// Entries that are neither are passed over.
std::vector<SidBytes> ResolveOperators(const std::vector<std::string>& entries);

// The service's Operators value (REG_MULTI_SZ); empty when absent or unreadable.
std::vector<std::string> ReadOperators();

// The token's user, groups and session; false when it cannot be read.
bool ReadTokenFacts(HANDLE token, TokenFacts& facts, DWORD& sessionId);

// The client of a connected pipe instance (which has sent data already: impersonation needs it).
// Reads its token at identification level and always reverts. False when it cannot be read; who
// then stays as it was.
bool IdentifyPipeClient(HANDLE pipe, Requester& who);
