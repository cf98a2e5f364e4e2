// The application object, the message dialogs and the other calls through
// which the program reaches the user. One interface: the Qt implementation
// shows real dialogs; the recording one (platform/testing) notes what a
// person would have seen and answers at once.
#pragma once

#include <exception>
#include <utility>

#include "platform/exception.h"
#include "platform/text.h"
#include "platform/win_types.h"

namespace platform {

class TForm;

enum TMsgDlgType { mtWarning, mtError, mtInformation };

enum TCursor { crDefault = 0, crHourGlass = -11 };

// MessageBeep values.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_SIMPLEBEEP = 0xFFFFFFFF;

// Thrown by a stand-in process end that cannot really end the process (the
// recording services): it unwinds the handler so that nothing after the stop
// runs. Not an Exception, so no guarded step of the program catches it.
struct ProcessHalt {};

// The title of a message dialog of that kind.
AnsiString DialogTitle(TMsgDlgType type);

// The application title of an executable: its file name cut at the first dot,
// the first character as stored, every later one in lower case.
AnsiString ApplicationTitle(const AnsiString& exeName);

class ApplicationServices {
  public:
    virtual ~ApplicationServices() = default;

    // The running executable's full path, in Windows form.
    virtual AnsiString ExeName() const = 0;
    AnsiString Title() const { return ApplicationTitle(ExeName()); }

    // Handles every pending window message, then returns.
    virtual void ProcessMessages() = 0;

    // Modal; one "OK" button; titled after the kind.
    virtual void MessageDlg(const AnsiString& text, TMsgDlgType type) = 0;
    // Modal; no icon, one "OK" button, the application title as caption.
    virtual void MessageBox(const AnsiString& text) = 0;
    // The standard error box: application title, stop icon, one "OK" button.
    virtual void ShowException(const Exception& e) = 0;

    virtual void MessageBeep(UINT type) = 0;
    virtual void SetCursor(TForm& form, TCursor cursor);

    // Ends the process at once with status 0, releasing what the run bound.
    [[noreturn]] virtual void Halt() = 0;

    // The application-level handler: an escaped exception's message in the
    // standard error box, EAbort silently; the message loop then goes on.
    void HandleException(std::exception_ptr error);

    // Every handler runs through this, so that no exception crosses the
    // window toolkit's event loop.
    template <class Handler>
    void Guarded(Handler&& handler) {
        try {
            std::forward<Handler>(handler)();
        } catch (const ProcessHalt&) {
            // The stand-in stop has done its work: the handler is unwound.
        } catch (...) {
            HandleException(std::current_exception());
        }
    }
};

}  // namespace platform
