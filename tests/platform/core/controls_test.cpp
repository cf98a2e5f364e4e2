// The class library's controls on Qt: texts in Windows-1252, and a combo box
// that, as on Windows, changes only when told and notifies only the user's
// own actions.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "platform/vcl_controls.h"

using platform::TComboBox;

TEST(ComboBox, ProgramOperationsKeepTheOwnTextAndNotifyNothing) {
    TComboBox box;
    QSignalSpy changes(&box, &TComboBox::Change);
    box.SetText("own");
    box.AddItem("(local)");
    box.AddItem("SRV\\INST");
    EXPECT_EQ(box.ItemCount(), 2);
    EXPECT_EQ(box.Text(), "own");
    EXPECT_EQ(box.ItemIndex(), -1);

    box.SetItem(0, "POSTE-\xC9");  // POSTE-É
    EXPECT_EQ(box.Item(0), "POSTE-\xC9");
    EXPECT_EQ(box.Item(1), "SRV\\INST");
    EXPECT_EQ(box.Item(2), "");
    EXPECT_EQ(box.Item(-1), "");
    EXPECT_EQ(box.Text(), "own");

    box.SetText(box.Item(0));
    EXPECT_EQ(box.Text(), "POSTE-\xC9");
    box.ClearItems();
    EXPECT_EQ(box.ItemCount(), 0);
    EXPECT_EQ(box.Text(), "POSTE-\xC9");
    EXPECT_EQ(changes.count(), 0);
}

TEST(ComboBox, UserChoiceAndTypingNotify) {
    TComboBox box;
    box.AddItem("A");
    box.AddItem("B");
    QSignalSpy changes(&box, &TComboBox::Change);
    emit box.activated(1);
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(box.ItemIndex(), 1);
    QTest::keyClicks(box.lineEdit(), "x");
    EXPECT_EQ(changes.count(), 2);
    EXPECT_EQ(box.ItemIndex(), -1);
}

TEST(Edit, TextsOutsideTheCodePageBecomeQuestionMarks) {
    platform::TEdit edit;
    edit.setText(QString::fromUtf8("mot-de-passe-é-Ω"));
    EXPECT_EQ(edit.Text(), "mot-de-passe-\xE9-?");
    edit.SetText("\x80uro");
    EXPECT_EQ(edit.text(), QString::fromUtf8("€uro"));
}
