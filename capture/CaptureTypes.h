#pragma once
// What a capture tells its owner: its state and the messages for the user. Plain values, so that
// the window, the service, the channel and the status command share them without the engine.
#include <windows.h>

#include "platform/String.h"

// Where the capture is, as the window and the tray show it.
enum class CaptureState {
    Opening,        // started, port not opened yet
    WaitingForPort, // the port is missing, busy or gone; retried about once a second
    Capturing,      // the port is open and the file is being written
    WaitingForFile, // the port is read into memory while the file cannot be written
    Ended,          // the capture has ended (Stop, or a failure that retrying cannot mend)
};

// Why a capture ended for good on its own; None when it was stopped.
enum class CaptureEnd { None, SettingsInvalid, SettingsRefused, FileNotCreated, FileNotWritten };

struct CaptureStatus {
    CaptureState state = CaptureState::Opening;
    CaptureEnd end = CaptureEnd::None;
    int port = 0;
    // Bytes received since Run, and the reads that brought them.
    unsigned long long bytes = 0;
    unsigned reads = 0;
    // When the last byte arrived (UTC, as a FILETIME's 100-ns count); 0 when none has since Run.
    unsigned long long lastByteAt = 0;
    // The silence alert is raised: nothing arrived for the lane's silence minutes inside its
    // opening hours. silentSince is the last byte, or the start when none came (UTC, as above).
    bool silent = false;
    unsigned long long silentSince = 0;
};

// A message for the user; the window shows it, the capture thread never does.
struct CaptureMessage {
    CString text;
    CString caption;
};
