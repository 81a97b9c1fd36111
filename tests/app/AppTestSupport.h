#pragma once
// Helpers of the dialog tests: a clean collector key, message pumping, and a dialog that
// runs a script of checks inside its own modal run.
#include <windows.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "app/CollectorDlg.h"
#include "support/TestEnv.h"

namespace apptest {

extern const char kCollectorKey[];

// Empties the product's registry tree now and again when it goes out of scope, so that
// each test, and the next program using this Wine prefix, starts without settings.
class RegistryGuard {
public:
    RegistryGuard() { Clear(); }
    ~RegistryGuard() { Clear(); }
    RegistryGuard(const RegistryGuard&) = delete;
    RegistryGuard& operator=(const RegistryGuard&) = delete;
    static void Clear();
};

// Seeds the collector key the way a previous run would have saved it.
void SeedDword(const char* name, DWORD value);
void SeedString(const char* name, const char* value);
// Reads back a value; false when it is absent.
bool ReadDword(const char* name, DWORD& value);
bool ReadString(const char* name, std::string& value);

// Dispatches this thread's messages for ms milliseconds.
void PumpFor(DWORD ms);
using testenv::PumpUntil;

// Text of a window.
std::string TextOf(HWND hwnd);
// The selected item's text of a combo box, "" when nothing is selected.
std::string SelectedText(const CComboBox& list);

// Whether the shell holds a tray icon of the window with identifier 0: a modify of an
// icon that is not there fails.
bool TrayIconPresent(HWND hwnd);

// A collector dialog that runs script once its modal run has started, then ends when the
// script closes it; a watchdog ends a run that the script left open, as a failure.
class ScriptedDlg : public CCollectorDlg {
public:
    explicit ScriptedDlg(std::function<void(ScriptedDlg&)> script) : m_script(std::move(script)) {}

    // Sends a command as a click or a notice of the control would.
    void Command(int id, UINT code);
    // Exposes the dialog manager's message dispatch to the scripts.
    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { return SendMessage(message, wParam, lParam); }

    // What OnInitDialog left: a capture started by then, and whether the window was shown.
    bool capturingAtInit = false;
    bool visibleAtInit = true;
    int destroyCalls = 0;
    bool windowExistedAtDestroy = false;

protected:
    bool OnInitDialog() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

public:
    bool DestroyWindow() override;

private:
    std::function<void(ScriptedDlg&)> m_script;
};

} // namespace apptest
