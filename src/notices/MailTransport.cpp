#include "notices/MailTransport.h"

#include "app/Include.h"
#include "notices/MailMessage.h"
#include "platform/Files.h"
#include "platform/IniFile.h"

namespace quellor {

bool ParseMailSecurity(const std::string& text, TMailSecurity* security) {
  if (text.empty() || EqualsNoCase(text, "None")) {
    *security = TMailSecurity::None;
  } else if (EqualsNoCase(text, "STARTTLS")) {
    *security = TMailSecurity::StartTls;
  } else if (EqualsNoCase(text, "TLS")) {
    *security = TMailSecurity::Tls;
  } else {
    return false;
  }
  return true;
}

TMailTransport ReadMailTransport(const std::string& settingsFile) {
  TMailTransport t;
  TIniFile ini(settingsFile);
  const std::string security = ini.ReadString("Mail", "Security", "None");
  if (!ParseMailSecurity(security, &t.Security))
    throw EMailError("The [Mail] Security setting \"" + security +
                     "\" is none of None, STARTTLS and TLS.");
  t.CAFile = ini.ReadString("Mail", "CAFile", "");
  if (!t.CAFile.empty() && t.CAFile.front() != '/') t.CAFile = ProgramFolder() + t.CAFile;
  auto seconds = [&ini](const char* key, std::chrono::milliseconds& value) {
    int32_t s = ini.ReadInteger("Mail", key, 0);
    if (s > 0) value = std::chrono::seconds(s);
  };
  seconds("ConnectTimeout", t.Timeouts.Connect);
  seconds("GreetingTimeout", t.Timeouts.Greeting);
  seconds("CommandTimeout", t.Timeouts.Command);
  seconds("DataStartTimeout", t.Timeouts.DataStart);
  seconds("DataBlockTimeout", t.Timeouts.DataBlock);
  seconds("DataEndTimeout", t.Timeouts.DataEnd);
  return t;
}

}  // namespace quellor
