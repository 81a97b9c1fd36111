#pragma once
// CaptureRequest: everything one capture is asked to do, as one value made where the request
// comes from (the store, the window, the channel) and carried unchanged down to the port.
#include <windows.h>

#include <cstddef>
#include <memory>

#include "capture/CaptureTap.h"
#include "capture/Requester.h"
#include "platform/String.h"
#include "settings/SettingsStore.h"

struct LineSettings {
    int port = 0;
    unsigned baud = 0;
    unsigned char dataBits = 0;
    int parity = 0;
    int stopBits = 0;
};

struct CaptureRequest {
    // Lanes are numbered 1 to 16; a desktop capture is lane 1.
    int lane = 1;
    // How the capture's messages and events name it ("Lane 2 (COM7)"); empty names none, as a
    // desktop capture's texts never did.
    CString label;
    LineSettings line;
    CString file;
    // Go on in the file as it is and keep what waited in the driver (a service restarting under
    // a running capture), instead of emptying it.
    bool append = false;
    // Silence alert: minutes without a byte inside the opening hours; 0 is off. openHours as the
    // registry holds it ("Mon-Fri 08:00-20:00; Sat 09:00-17:00"); empty is always.
    unsigned silenceMinutes = 0;
    CString openHours;
    // Who asked, for the capture's events.
    Requester who;
    // A paragraph added to the message of a file that cannot be created (the service's account).
    CString fileHint;
    // How much may wait in memory while the file cannot be written: 19 hours of a 9,600-baud
    // line sending without a pause.
    size_t memoryBound = kDefaultMemoryBound;
    // Sees the bytes after the file has them (a lane's network outputs); none on the desktop.
    std::shared_ptr<ICaptureTap> tap;

    static const size_t kDefaultMemoryBound = 64u << 20;
};

// A request for the settings as the store, the window and the channel carry them.
inline CaptureRequest MakeCaptureRequest(const CollectorSettings& settings, const Requester& who, int lane = 1)
{
    CaptureRequest request;
    request.lane = lane;
    request.line.port = settings.commPort;
    request.line.baud = static_cast<unsigned>(settings.baudRate);
    request.line.dataBits = settings.dataBits;
    request.line.parity = settings.parity;
    request.line.stopBits = settings.stopBits;
    request.file = settings.dataFile;
    request.who = who;
    return request;
}
