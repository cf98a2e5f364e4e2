#include "platform/vcl_form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QScreen>
#include <cmath>

#include "platform/vcl_controls.h"

namespace platform {

TForm::TForm(QWidget* parent) : QDialog(parent), TComponent(nullptr) {}

void TForm::setColor(const QString& name) {
    color_ = name;
    SetVclColor(*this, QPalette::Window, name);
}

void TForm::SetCursor(TCursor cursor) {
    cursor_ = cursor;
    if (cursor == crHourGlass) {
        setCursor(Qt::WaitCursor);
    } else {
        unsetCursor();
    }
}

void TForm::Close() {
    close();
}

void TForm::Loaded() {
    // Point sizes of the stored layout are at the design resolution, as
    // pixels, whatever the screen's: the layout's coordinates are pixels too.
    const auto toPixels = [this](QWidget* w) {
        if (!w->testAttribute(Qt::WA_SetFont) && w != this) {
            return;
        }
        QFont f = w->font();
        if (f.pointSizeF() > 0) {
            f.setPixelSize(static_cast<int>(std::lround(f.pointSizeF() * designPpi_ / 72.0)));
            w->setFont(f);
        }
    };
    toPixels(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        toPixels(child);
    }
    for (TLabel* label : findChildren<TLabel*>()) {
        label->AdjustBounds();
    }
    if (borderStyle_ == QLatin1String("bsDialog") || borderStyle_ == QLatin1String("bsSingle")) {
        setFixedSize(size());
    }
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (borderIcons_.contains(QLatin1String("biSystemMenu"))) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (borderIcons_.contains(QLatin1String("biMinimize"))) {
            flags |= Qt::WindowMinimizeButtonHint;
        }
        if (borderIcons_.contains(QLatin1String("biMaximize"))) {
            flags |= Qt::WindowMaximizeButtonHint;
        }
    }
    setWindowFlags(flags);
}

void TForm::keyPressEvent(QKeyEvent* event) {
    // No cancel button: Escape closes nothing.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm::showEvent(QShowEvent* event) {
    if (!positioned_ && position_ == QLatin1String("poScreenCenter")) {
        positioned_ = true;
        if (QScreen* s = screen()) {
            const QRect area = s->availableGeometry();
            // The whole window, frame included, as Windows centres it.
            const QRect outer(QPoint(0, 0), frameGeometry().size());
            move(area.center() - outer.center());
        }
    }
    QDialog::showEvent(event);
}

void TForm::closeEvent(QCloseEvent* event) {
    QDialog::closeEvent(event);
    if (event->isAccepted() && mainForm_) {
        QCoreApplication::exit(0);
    }
}

}  // namespace platform
