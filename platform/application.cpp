#include "platform/application.h"

#include "platform/vcl_form.h"

namespace platform {

using namespace literals;

AnsiString DialogTitle(TMsgDlgType type) {
    switch (type) {
        case mtWarning:
            return "Avertissement";
        case mtError:
            return "Erreur";
        case mtInformation:
            return "Information";
    }
    return {};
}

AnsiString ApplicationTitle(const AnsiString& exeName) {
    const auto slash = exeName.find_last_of("\\:");
    AnsiString name = slash == AnsiString::npos ? exeName : exeName.substr(slash + 1);
    if (const auto dot = name.find('.'); dot != AnsiString::npos) {
        name.erase(dot);
    }
    if (name.size() > 1) {
        name = name.substr(0, 1) + AnsiLowerCase(name.substr(1));
    }
    return name;
}

void ApplicationServices::SetCursor(TForm& form, TCursor cursor) {
    form.SetCursor(cursor);
}

void ApplicationServices::HandleException(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
    } catch (const Exception& e) {
        ShowException(e);
    } catch (const std::exception& e) {
        ShowException(Exception(e.what()));
    } catch (...) {
        ShowException(Exception("Exception de classe inconnue."_ansi));
    }
}

}  // namespace platform
