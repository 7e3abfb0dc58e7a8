#include "app/Hints.h"

#include "hosts/HostNames.h"

namespace ordwin {

std::string StartupHint(const std::string& Address) {
  std::string hint = "By korzystać z oryginalnego klienta GG, wpisz w używanym DNSie lub plikach \"hosts\" np. \"127.0.0.1 ";
  hint += HostServerAddress;
  hint +=
      "\". Ustaw także wartość HKEY_CURRENT_USER\\Software\\Gadu-Gadu\\Gadu-Gadu\\Messenger\\ServerHost "
      "stacji na \"";
  hint += Address;
  hint += "\" by oryginalny klient skorzystał z nowego serwera od razu.";
  return hint;
}

std::string CompanionClientHint() {
  return std::string("Używając Kelvadra ") + kCompanionClientPage +
         " możesz wybrać prawym klawiszem serwer alternatywny.";
}

}  // namespace ordwin
