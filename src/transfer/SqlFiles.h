// SQL query files: the File menu's "&New SQL file" and "E&dit SQL file", which start the
// person's text editor, and "&Open SQL file", which runs the statement of a file through the
// data module's query qry1 so that the Detail grid can show its result through DataSourceQ1.
//
// An SQL file is a text file holding one statement of the store's SQL dialect, or a script of
// several statements separated by ";" (any extension, "*.SQL" by default); its line breaks are
// blanks to the statements, and a UTF-8 byte order mark at its start (which some editors write)
// is skipped.
//
// A script is read whole first: a statement the dialect rejects fails the command with its error
// before any statement runs. It then runs through qry1 in script mode, statement after
// statement; when it holds a SELECT
// the grid shows the result of the last SELECT that ran, otherwise no rows. A statement that
// fails asks the person (Yes/No box, No the default) whether to go on with the rest: No stops
// the script there and the command fails with that statement's error (what ran before stays
// done). A script that runs for more than a second shows its progress; Cancel stops it after
// the statement running then, which a plain message says. A script is never run twice: after
// a script that failed or was stopped, a script result the grid showed before is gone.
//
// Whether a statement is opened (it returns rows) or executed is decided by its kind as the
// dialect reads it (SqlStatementKind): a SELECT is always opened, whatever words its column
// names or strings hold; every other statement is executed, and the grid then shows no rows.
// The kind is read before qry1 is touched, so a statement that does not parse leaves qry1 and
// the grid as they were; one that parses but fails as it runs puts the statement before it back
// and runs that again, so the grid goes on showing the result it showed.
#pragma once

#include <string>
#include <vector>

namespace quellor {

class TDM;
class Ui;

// "&New SQL file": the person's text editor without a file (OpenInTextEditor, Include.h), not
// waited for. A failure, at once or when the editor ends with an error, is reported in the box
// "Launch Error" whose text begins "Could not launch <program>". xdg-open needs a file, so it is
// not tried here.
void NewSQLfile(Ui& ui);

// "E&dit SQL file": the open-file dialog (program folder; SQL, Text and All files), then the
// editor on the chosen file, reported the same way. Cancel or a file that does not exist:
// nothing.
void EditSQLfile(Ui& ui);

// "&Open SQL file": the open-file dialog as above, then the file's statement run through
// dm.qry1 (opened when it is a SELECT, executed otherwise). Returns true when it ran, so the
// window shows dm.DataSourceQ1 in its grid; false when the person cancelled or the file does
// not exist. A file that cannot be read raises "Cannot open file <name>"; a statement the
// engine rejects raises its error (11949 for the dialect); the grid is then not switched.
bool OpenSQLfile(TDM& dm, Ui& ui);

// Runs a statement text through dm.qry1 as OpenSQLfile does after reading the file, with the
// busy cursor; a SELECT that reads for more than a second shows a progress window whose Cancel
// stops it, keeping the rows found so far.
void RunSQLText(TDM& dm, Ui& ui, const std::string& text);

}  // namespace quellor
