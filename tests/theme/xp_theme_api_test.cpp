// The theme marker's guard: one per form, only on a form; a refused one
// beeps, aborts silently and leaves nothing in its owner's list.
#include "theme/xp_theme_api.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/testing/recording_application.h"
#include "platform/vcl_form.h"

using platform::EAbort;
using platform::TComponent;
using platform::TForm;
using platform::testing::RecordingApplication;
using platform::testing::Shown;
using theme::TXPThemeAPI;

namespace {

class TMyForm : public TForm {};
class TMyThemeAPI : public TXPThemeAPI {
  public:
    using TXPThemeAPI::TXPThemeAPI;
};

const Shown kBeep{"beep", {}, "0"};

std::vector<TComponent*> ComponentsOf(const TComponent& owner) {
    std::vector<TComponent*> list;
    for (int i = 0; i < owner.ComponentCount(); ++i) {
        list.push_back(owner.Components(i));
    }
    return list;
}

class Marker : public ::testing::Test {
  protected:
    // Each refusal beeps once and raises EAbort.
    template <class Make>
    void ExpectRefused(Make make) {
        app.Clear();
        EXPECT_THROW(make(), EAbort);
        EXPECT_EQ(app.Log(), std::vector<Shown>{kBeep});
    }

    RecordingApplication app;
};

TEST_F(Marker, TheFirstOnAFormIsCreatedQuietly) {
    TForm form;
    auto* marker = new TXPThemeAPI(&form, app);
    EXPECT_EQ(ComponentsOf(form), std::vector<TComponent*>{marker});
    EXPECT_EQ(marker->Owner(), &form);
    EXPECT_TRUE(app.Log().empty());

    // A form of a derived class is a form; a derived marker is a marker.
    TMyForm derived;
    auto* derivedMarker = new TMyThemeAPI(&derived, app);
    EXPECT_EQ(ComponentsOf(derived), std::vector<TComponent*>{derivedMarker});
    EXPECT_TRUE(app.Log().empty());
}

TEST_F(Marker, ASecondOnAFormIsRefusedAndTheFirstStays) {
    struct Row {
        const char* what;
        bool firstDerived;
        bool secondDerived;
    } rows[] = {{"plain then plain", false, false},
                {"derived then plain", true, false},
                {"plain then derived", false, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TMyForm form;
        auto* before = new TComponent(&form);
        TXPThemeAPI* first =
            row.firstDerived ? new TMyThemeAPI(&form, app) : new TXPThemeAPI(&form, app);
        auto* after = new TComponent(&form);
        const std::vector<TComponent*> list = {before, first, after};
        ExpectRefused([&] {
            if (row.secondDerived) {
                new TMyThemeAPI(&form, app);
            } else {
                new TXPThemeAPI(&form, app);
            }
        });
        EXPECT_EQ(ComponentsOf(form), list);
        // Refused again: the half-built one left no trace that could count.
        ExpectRefused([&] { new TXPThemeAPI(&form, app); });
        EXPECT_EQ(ComponentsOf(form), list);
    }
}

TEST_F(Marker, AnOwnerThatIsNoFormOrNoOwnerIsRefused) {
    TComponent owner(nullptr);
    ExpectRefused([&] { new TXPThemeAPI(&owner, app); });
    EXPECT_EQ(owner.ComponentCount(), 0);

    // A form further up does not make the direct owner a form.
    TForm form;
    auto* holder = new TComponent(&form);
    ExpectRefused([&] { new TXPThemeAPI(holder, app); });
    EXPECT_EQ(holder->ComponentCount(), 0);
    EXPECT_EQ(ComponentsOf(form), std::vector<TComponent*>{holder});

    ExpectRefused([&] { new TXPThemeAPI(nullptr, app); });

    // None of the refusals stands in the way of the form's own marker.
    app.Clear();
    auto* marker = new TXPThemeAPI(&form, app);
    EXPECT_EQ(ComponentsOf(form), (std::vector<TComponent*>{holder, marker}));
    EXPECT_TRUE(app.Log().empty());
}

TEST_F(Marker, DestroyingTheMarkerFreesTheFormForAnother) {
    TForm form;
    auto* first = new TXPThemeAPI(&form, app);
    delete first;
    EXPECT_EQ(form.ComponentCount(), 0);
    auto* second = new TXPThemeAPI(&form, app);
    EXPECT_EQ(ComponentsOf(form), std::vector<TComponent*>{second});
    EXPECT_TRUE(app.Log().empty());
}

}  // namespace
