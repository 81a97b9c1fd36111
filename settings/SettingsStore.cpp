#include "settings/SettingsStore.h"

#include "settings/RegistryKey.h"
#include "settings/RegistryKeyTable.h"

// The value names, their types and the order of reads and writes are shared with the
// family's other programs and installers.

namespace {

bool OpenCollectorKey(CRegistryKey& key, REGSAM sam)
{
    // The caller opened the product key, creating it when missing; the collector key lies inside.
    return key.Reopen(kCollectorKeyIndex, nullptr, "", REG_OPTION_NON_VOLATILE, sam);
}

} // namespace

CollectorSettings LoadCollectorSettings()
{
    CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    return LoadCollectorSettings(key);
}

CollectorSettings LoadCollectorSettings(CRegistryKey& key)
{
    // Reading needs no more than query access; without this a standard account would start
    // from the defaults on a key that lacks the Everyone entry.
    if (!OpenCollectorKey(key, KEY_ALL_ACCESS)) OpenCollectorKey(key, KEY_QUERY_VALUE);

    const CollectorSettings defaults;
    CollectorSettings settings;
    settings.commPort = static_cast<int>(key.ReadDword("CommPort", static_cast<unsigned>(defaults.commPort)));
    settings.baudRate = static_cast<int>(key.ReadDword("BaudRate", static_cast<unsigned>(defaults.baudRate)));
    // An 8-bit field: only the low byte of the stored number counts.
    settings.dataBits = static_cast<unsigned char>(key.ReadDword("DataBits", defaults.dataBits));
    settings.parity = static_cast<int>(key.ReadDword("Parity", static_cast<unsigned>(defaults.parity)));
    settings.stopBits = static_cast<int>(key.ReadDword("StopBits", static_cast<unsigned>(defaults.stopBits)));
    settings.dataFile = key.ReadString("DataFile", defaults.dataFile);
    settings.runAtStartup =
        static_cast<int>(key.ReadDword("RunAtStartup", static_cast<unsigned>(defaults.runAtStartup)));
    return settings;
}

void SaveCollectorSettings(CRegistryKey& key, const CollectorSettings& settings)
{
    OpenCollectorKey(key, KEY_ALL_ACCESS);
    // Nothing can be done about a failed write while the dialog closes: results are not examined.
    key.WriteDword("CommPort", static_cast<unsigned>(settings.commPort));
    key.WriteDword("BaudRate", static_cast<unsigned>(settings.baudRate));
    key.WriteDword("DataBits", settings.dataBits);
    key.WriteDword("Parity", static_cast<unsigned>(settings.parity));
    key.WriteDword("StopBits", static_cast<unsigned>(settings.stopBits));
    key.WriteString("DataFile", settings.dataFile, false);
    key.WriteDword("RunAtStartup", static_cast<unsigned>(settings.runAtStartup));
}

bool CreateCollectorKeys()
{
    CRegistryKey key(kProductKeyIndex, KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE);
    return key.Handle() && OpenCollectorKey(key, KEY_ALL_ACCESS);
}
