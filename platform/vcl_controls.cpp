#include "platform/vcl_controls.h"

#include <QLineEdit>
#include <QProxyStyle>
#include <QSignalBlocker>

#include "platform/qt_text.h"

namespace platform {

QColor VclColor(const QString& name) {
    const QPalette p = QPalette();
    if (name == QLatin1String("clBtnFace")) {
        return p.color(QPalette::Button);
    }
    if (name == QLatin1String("clInfoBk")) {
        return p.color(QPalette::ToolTipBase);
    }
    if (name == QLatin1String("clWindowText")) {
        return p.color(QPalette::WindowText);
    }
    if (name == QLatin1String("clWindow")) {
        return p.color(QPalette::Base);
    }
    if (name == QLatin1String("clNavy")) {
        return QColor(0, 0, 128);
    }
    if (name == QLatin1String("clBlack")) {
        return QColor(0, 0, 0);
    }
    return QColor(name);  // "#rrggbb"
}

void SetVclColor(QWidget& widget, QPalette::ColorRole role, const QString& name) {
    QPalette p = widget.palette();
    p.setColor(role, VclColor(name));
    widget.setPalette(p);
}

TLabel::TLabel(QWidget* parent) : QLabel(parent) {}

AnsiString TLabel::Caption() const {
    return FromQString(text());
}

void TLabel::SetCaption(const AnsiString& caption) {
    setText(ToQString(caption));
    AdjustBounds();
}

void TLabel::setFontColor(const QString& name) {
    fontColor_ = name;
    SetVclColor(*this, QPalette::WindowText, name);
}

void TLabel::setAutoSizeWidth(bool on) {
    autoSize_ = on;
    AdjustBounds();
}

void TLabel::AdjustBounds() {
    if (!autoSize_ || text().isEmpty()) {
        return;
    }
    const int width = fontMetrics().horizontalAdvance(text());
    QRect g = geometry();
    if (alignment() & Qt::AlignRight) {
        g.setLeft(g.right() + 1 - width);
    } else {
        g.setWidth(width);
    }
    setGeometry(g);
}

TButton::TButton(QWidget* parent) : QPushButton(parent) {}

AnsiString TButton::Caption() const {
    return FromQString(text());
}

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {}

AnsiString TEdit::Text() const {
    return FromQString(text());
}

void TEdit::SetText(const AnsiString& text) {
    setText(ToQString(text));
}

namespace {

class PasswordCharStyle : public QProxyStyle {
  public:
    explicit PasswordCharStyle(QChar c) : c_(c) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* ret) const override {
        if (hint == QStyle::SH_LineEdit_PasswordCharacter) {
            return c_.unicode();
        }
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }

  private:
    QChar c_;
};

}  // namespace

void TEdit::setPasswordChar(const QString& c) {
    passwordChar_ = c;
    if (c.isEmpty()) {
        return;
    }
    auto* style = new PasswordCharStyle(c.at(0));
    style->setParent(this);
    setStyle(style);
    setEchoMode(QLineEdit::Password);
}

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setDuplicatesEnabled(true);
    // Completion into the covered text field is not offered.
    setCompleter(nullptr);
    connect(this, qOverload<int>(&QComboBox::activated), this, [this](int index) {
        itemIndex_ = index;
        emit Change();
    });
    connect(lineEdit(), &QLineEdit::textEdited, this, [this](const QString&) {
        itemIndex_ = -1;
        emit Change();
    });
}

AnsiString TComboBox::Item(int index) const {
    if (index < 0 || index >= count()) {
        return {};
    }
    return FromQString(itemText(index));
}

void TComboBox::AddItem(const AnsiString& text) {
    KeepingOwnText([&] {
        addItem(ToQString(text));
        // Qt selects the first item added to an empty box; Windows does not.
        if (itemIndex_ < 0 && currentIndex() >= 0) {
            setCurrentIndex(-1);
        }
    });
}

void TComboBox::SetItem(int index, const AnsiString& text) {
    if (index < 0 || index >= count()) {
        return;
    }
    KeepingOwnText([&] { setItemText(index, ToQString(text)); });
}

void TComboBox::ClearItems() {
    KeepingOwnText([&] {
        clear();
        itemIndex_ = -1;
    });
}

void TComboBox::KeepingOwnText(const std::function<void()>& change) {
    const QSignalBlocker block(this);
    const QString own = currentText();
    change();
    setEditText(own);
}

AnsiString TComboBox::Text() const {
    return FromQString(currentText());
}

void TComboBox::SetText(const AnsiString& text) {
    const QSignalBlocker block(this);
    setEditText(ToQString(text));
}

TPanel::TPanel(QWidget* parent) : QFrame(parent) {}

void TPanel::setColor(const QString& name) {
    color_ = name;
    SetVclColor(*this, QPalette::Window, name);
    setAutoFillBackground(true);
}

}  // namespace platform
