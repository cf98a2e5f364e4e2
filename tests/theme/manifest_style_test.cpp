// The window style follows the executable's manifest: version 6 of the
// common controls requested gives the toolkit's current style, anything else
// the classic one.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>
#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string StyleOf(const std::string& probe) {
    const std::string command = std::string("QT_QPA_PLATFORM=offscreen '") + STYLE_PROBE_DIR +
                                "/style_probe_" + probe + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
    char line[256] = {};
    if (!out || std::fgets(line, sizeof line, out.get()) == nullptr) {
        return "<no output>";
    }
    return QString::fromUtf8(line).trimmed().toLower().toStdString();
}

TEST(ManifestStyle, CommonControls6GiveTheCurrentStyleOtherwiseTheClassicOne) {
    // The style a program without any request of its own gets from the toolkit.
    const std::string current = QApplication::style()->name().toLower().toStdString();
    ASSERT_NE(current, "windows");
    ASSERT_TRUE(QStyleFactory::keys().contains(QStringLiteral("Windows")));
    struct Row {
        const char* probe;
        std::string style;
    } rows[] = {
        {"v6", current},
        {"controls5", "windows"},
        {"classic", "windows"},
        {"none", "windows"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(StyleOf(row.probe), row.style) << row.probe;
    }
}

}  // namespace
