#pragma once
// The collector's seven settings and the sequences that load and save them.
#include "platform/String.h"

class CRegistryKey;

struct CollectorSettings {
    int commPort = 1;
    int baudRate = 9600;
    unsigned char dataBits = 8;
    int parity = 2;   // NoParity
    int stopBits = 0; // OneStopBit
    CString dataFile;
    int runAtStartup = 0;
};

inline bool operator==(const CollectorSettings& a, const CollectorSettings& b)
{
    return a.commPort == b.commPort && a.baudRate == b.baudRate && a.dataBits == b.dataBits && a.parity == b.parity &&
           a.stopBits == b.stopBits && a.dataFile == b.dataFile && a.runAtStartup == b.runAtStartup;
}
inline bool operator!=(const CollectorSettings& a, const CollectorSettings& b) { return !(a == b); }

// Opens the product key (row 0), reopens the collector key (row 43), and reads the seven
// values in their fixed order; absent values keep their defaults. When full access to the
// collector key is refused (a standard account on a key without the Everyone entry), the key
// is opened to query values only.
CollectorSettings LoadCollectorSettings();
// The same with a key the caller constructed for row 0.
CollectorSettings LoadCollectorSettings(CRegistryKey& key);

// key was constructed for row 0 by the caller; reopens it on the collector key and writes
// the seven values in their fixed order. Write results are not examined.
void SaveCollectorSettings(CRegistryKey& key, const CollectorSettings& settings);

// Creates the product key and the collector key under HKEY_LOCAL_MACHINE the way the load
// does (a key created here gets the Everyone entry; an existing one keeps its list) and writes
// no value. For the installer, which runs it elevated so that every account can save.
bool CreateCollectorKeys();
