#pragma once

#include <QTableView>

class CommandLog;
class CommandRunner;
class QToolButton;

// The command log as a table, newest first, with a Revert button on every command that has
// an inverse and went through (or may have): one click sends the inverse, asked first like
// any other command.
class CommandLogView : public QTableView
{
    Q_OBJECT
public:
    CommandLogView(CommandLog *log, CommandRunner *runner, QWidget *parent = nullptr);

    // The Revert button of a row, or null.
    QToolButton *revertButton(int row) const;

private:
    void updateButtons(int first, int last);

    CommandLog *m_log;
    CommandRunner *m_runner;
};
