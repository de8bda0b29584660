// The logic of the Options dialog: the current company's settings as the dialog edits them, the
// fifteen wording fragments and the notice footer file, and the folder of the killed-sites
// report. The dialog (TfrmOptions) shows and collects the values; every action here works on the
// Settings object and the files, and reports through exceptions that the dialog shows.
//
// OK takes the Mail and Folders pages into the settings and writes the company's settings file;
// "&Save" of the Wording page stores the chosen fragment (or writes the footer file) and writes
// the settings file too. Nothing else writes a company's settings.
//
// What can be stored: the settings file holds one line per key and hands out at most 2047
// characters of a value (TIniFile). A text box's value with a line break or a NUL character, or
// longer than that, could not come back as typed, so OK refuses it with EOptionsRefused before
// anything changes; a wording fragment keeps its line breaks (stored as "\n", see Config.h), and
// one whose stored form would be longer is refused by "&Save" the same way. Blanks at either end
// and quotes are kept (Config's ProtectValue).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quellor {

class TConfig;
class Ui;

// A value the settings file cannot hold as typed; nothing has changed, the dialog stays open.
class EOptionsRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that is not an integer, or a port outside 1 to 65535.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be read ("Cannot open file " + name) or written ("Cannot create file " +
// name).
class EFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The Mail and Folders pages, as texts and the check box.
struct TOptionsFields {
  std::string HostName;
  std::string Port;  // as typed
  std::string From;
  std::string Subject;
  std::string SignOn;
  std::string TOSSubject;
  bool Authentication = false;
  std::string LoginID;
  std::string Password;
  std::string KilledSiteFolder;
};

// Filling the pages at opening: every field from the settings, the port in decimal.
TOptionsFields OptionsFromSettings(const TConfig& config);

// The port typed into the dialog: decimal (blanks before it allowed), or hexadecimal after "$",
// "0x" or "0X". Raises EConvertError "'" + text + "' is not a valid integer value" for a text
// that is not an integer, and "'" + text + "' is not a valid port: use a number from 1 to 65535"
// for an integer outside that range.
int PortFromText(const std::string& text);

// OK: refuses a value that cannot be stored (EOptionsRefused, nothing changed); then HostName :=
// the host box; Port := the port text converted (EConvertError leaves with HostName already
// taken and nothing written); From, Subject, TOSSubject, SignOn, Authentication, LoginID,
// Password; KilledSiteFolder with a "/" added when it has none; WriteSettings (which raises
// "Unable to write to " + file name). Texts are taken exactly as typed.
void OptionsOk(TConfig& config, const TOptionsFields& fields);

// ---- Wording page ----------------------------------------------------------------------------

// The entries of the choice box cbWording, in order: the fifteen fragments' labels, then
// "Notice footer" (kNoticeFooterEntry).
inline constexpr int kNoticeFooterEntry = 15;
inline constexpr const char* kChooseTextToEdit = "[Choose text to edit]";
const std::vector<std::string>& WordingEntries();
// The entry a typed or chosen text names (compared exactly), or -1.
int WordingEntryOf(const std::string& text);

// ProgramFolder + "noticeFooter.txt" (found without regard to case).
std::string NoticeFooterFileName();

// The text the editor shows when `entry` is chosen, with LF line breaks: a fragment's current
// value in the settings (0 to 14), or the lines of the footer file (15). A footer that cannot be
// read raises EFileError "Cannot open file " + name. nullopt for -1 (no entry): the editor keeps
// its text.
std::optional<std::string> WordingEditorText(const TConfig& config, int entry);

// The fragment the editor's text gives: its lines (CR LF, LF or CR) joined with CR LF, without a
// line break at the end (empty last lines are dropped), so that an unedited Save stores the
// fragment as it was and the notice gets no blank line after it.
std::string FragmentFromEditor(const std::string& editorText);

// "&Save": entries 0 to 14 set the fragment from the editor (EOptionsRefused, nothing changed,
// when its stored form would be too long or hold a NUL); entry 15 writes the editor's lines to
// the footer file with CR LF line ends, replacing it (EFileError "Cannot create file " + name,
// and then the settings are not written); -1 changes nothing. Then, in every case,
// WriteSettings: every setting of the Settings object is written.
void WordingSave(TConfig& config, int entry, const std::string& editorText);

// ---- Folders page ------------------------------------------------------------------------------

// The "..." button: the folder picker opened at the program folder (not at the folder in the
// box). The picker lets the person type a folder that does not exist and offers to create it
// (AcceptFolder). nullopt when cancelled.
std::optional<std::string> BrowseKilledSiteFolder(Ui& ui);

}  // namespace quellor
