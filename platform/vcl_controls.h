// The class library's standard controls on Qt widgets: Windows-1252 texts,
// the class library's colour names, and its notifications (a combo box's
// change is raised by the user's actions only, never by the program's own).
#pragma once

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <functional>

#include "platform/text.h"

namespace platform {

// The class library's colour names as the window toolkit paints them:
// system colours follow the current palette, fixed ones are fixed.
QColor VclColor(const QString& name);
// Paints one colour role of a widget in a colour of the class library.
void SetVclColor(QWidget& widget, QPalette::ColorRole role, const QString& name);

class TLabel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString fontColor READ fontColor WRITE setFontColor)
    Q_PROPERTY(bool autoSizeWidth READ autoSizeWidth WRITE setAutoSizeWidth)

  public:
    explicit TLabel(QWidget* parent = nullptr);

    AnsiString Caption() const;
    void SetCaption(const AnsiString& caption);
    bool Visible() const { return !isHidden(); }
    void SetVisible(bool visible) { setVisible(visible); }

    QString fontColor() const { return fontColor_; }
    void setFontColor(const QString& name);
    bool autoSizeWidth() const { return autoSize_; }
    void setAutoSizeWidth(bool on);

    // Fits the width to the text, keeping the right edge of a right-aligned
    // label and the left edge of any other; an empty text keeps its width.
    void AdjustBounds();

  private:
    QString fontColor_;
    bool autoSize_ = false;
};

class TButton : public QPushButton {
    Q_OBJECT

  public:
    explicit TButton(QWidget* parent = nullptr);
    AnsiString Caption() const;
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool enabled) { setEnabled(enabled); }
};

class TEdit : public QLineEdit {
    Q_OBJECT
    // The character shown for each typed one in a password box.
    Q_PROPERTY(QString passwordChar READ passwordChar WRITE setPasswordChar)

  public:
    explicit TEdit(QWidget* parent = nullptr);
    AnsiString Text() const;
    void SetText(const AnsiString& text);

    QString passwordChar() const { return passwordChar_; }
    void setPasswordChar(const QString& c);

  private:
    QString passwordChar_;
};

// A drop-down combo box with its own text field (csDropDown), unsorted.
class TComboBox : public QComboBox {
    Q_OBJECT

  public:
    explicit TComboBox(QWidget* parent = nullptr);

    int ItemCount() const { return count(); }
    // Empty text for a position outside the list.
    AnsiString Item(int index) const;
    void AddItem(const AnsiString& text);
    void SetItem(int index, const AnsiString& text);
    // Clears the items; the box's own text survives, as on Windows.
    void ClearItems();
    int ItemIndex() const { return itemIndex_; }
    AnsiString Text() const;
    void SetText(const AnsiString& text);

  signals:
    // The user chose an entry, or changed the box's own text.
    void Change();

  private:
    // Item changes leave the box's own text as it was and notify nothing.
    void KeepingOwnText(const std::function<void()>& change);

    int itemIndex_ = -1;
};

class TPanel : public QFrame {
    Q_OBJECT
    Q_PROPERTY(QString color READ color WRITE setColor)

  public:
    explicit TPanel(QWidget* parent = nullptr);
    QString color() const { return color_; }
    void setColor(const QString& name);

  private:
    QString color_;
};

}  // namespace platform
