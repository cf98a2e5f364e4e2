// The class library's form on a Qt dialog. The stored layout (a Designer
// .ui file) sets the form's class-library properties below; Loaded() then
// gives them their Qt meaning, once every control exists.
#pragma once

#include <QDialog>

#include "platform/application.h"
#include "platform/component.h"

namespace platform {

class TForm : public QDialog, public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString borderStyle READ borderStyle WRITE setBorderStyle)
    Q_PROPERTY(QString borderIcons READ borderIcons WRITE setBorderIcons)
    Q_PROPERTY(QString position READ position WRITE setPosition)
    Q_PROPERTY(QString color READ color WRITE setColor)
    Q_PROPERTY(int designPixelsPerInch READ designPixelsPerInch WRITE setDesignPixelsPerInch)

  public:
    explicit TForm(QWidget* parent = nullptr);

    QString borderStyle() const { return borderStyle_; }
    void setBorderStyle(const QString& style) { borderStyle_ = style; }
    QString borderIcons() const { return borderIcons_; }
    void setBorderIcons(const QString& icons) { borderIcons_ = icons; }
    QString position() const { return position_; }
    void setPosition(const QString& position) { position_ = position; }
    QString color() const { return color_; }
    void setColor(const QString& name);
    int designPixelsPerInch() const { return designPpi_; }
    void setDesignPixelsPerInch(int ppi) { designPpi_ = ppi; }

    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor cursor);

    // Asks the application to end its message loop when this is the main
    // form; the calling handler still runs to its end.
    void Close();

    // The form whose closing ends the run.
    void SetMainForm(bool main) { mainForm_ = main; }
    bool IsMainForm() const { return mainForm_; }

  protected:
    // Fonts sized at the design resolution, the frame, auto-sized labels.
    void Loaded();

    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QString borderStyle_ = QStringLiteral("bsSizeable");
    QString borderIcons_ = QStringLiteral("biSystemMenu,biMinimize,biMaximize");
    QString position_ = QStringLiteral("poDesigned");
    QString color_ = QStringLiteral("clBtnFace");
    int designPpi_ = 96;
    TCursor cursor_ = crDefault;
    bool mainForm_ = false;
    bool positioned_ = false;
};

}  // namespace platform
