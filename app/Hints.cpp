#include "app/Hints.h"

#include <filesystem>
#include <system_error>

#include "hosts/HostNames.h"

namespace ordwin {

std::string StartupHint(const std::string& address) {
  std::string hint =
      "By korzystać z oryginalnego klienta GG, wpisz w używanym DNSie lub plikach \"hosts\" np. \"127.0.0.1 ";
  hint += HostServerAddress;
  hint +=
      "\". Ustaw także wartość HKEY_CURRENT_USER\\Software\\Gadu-Gadu\\Gadu-Gadu\\Messenger\\ServerHost "
      "stacji na \"";
  hint += address;
  hint += "\" by oryginalny klient skorzystał z nowego serwera od razu.";
  return hint;
}

std::string CompanionClientHint() {
  return std::string("Używając Kelvadra ") + kCompanionClientPage +
         " możesz wybrać prawym klawiszem serwer alternatywny.";
}

namespace {

// „0 0 A:8074 A”: what the HTTP server on the port should answer instead.
std::string ExpectedAnswer(const std::string& address, int ggPort) {
  return "„0 0 " + address + ":" + std::to_string(ggPort) + " " + address + "”";
}

// The line, to type as root, that lets the program open ports below 1024.
std::string SetcapLine(const std::string& programFile) {
  return "„setcap cap_net_bind_service=+ep " + programFile + "”";
}

}  // namespace

std::string HttpPortWarning(const std::string& httpPort, const std::string& address, int ggPort) {
  return "Nie udało się otworzyć portu " + httpPort +
         " !\r\rNajprawdopodobniej jest on blokowany przez funkcjonujący serwer HTTP. Wyłącz go lub skonfiguruj "
         "tak, by na żądanie dokumentu „\\appsvc\\appmsg4.asp” serwera witrualnego „" +
         address + "” odpowiadał " + ExpectedAnswer(address, ggPort);
}

std::string GgPortHint(int ggPort) {
  const std::string port = std::to_string(ggPort);
  return "Nie udało się otworzyć portu " + port +
         " dla klientów GG: serwer GG nie działa. Port zajmuje zapewne inny serwer GG albo poprzednio "
         "uruchomiony Ordwin; zamknij go i uruchom program ponownie.";
}

std::string TlsPortHint(int tlsPort) {
  const std::string port = std::to_string(tlsPort);
  return "Nie udało się otworzyć portu " + port +
         " dla szyfrowanych połączeń GG (TLS): klienci z włączonym szyfrowaniem nie połączą się. Port zajmuje "
         "zapewne serwer WWW; zamknij go i uruchom program ponownie.";
}

std::string TlsPortRightsHint(int tlsPort, const std::string& programFile) {
  return "Brak uprawnień do otwarcia portu " + std::to_string(tlsPort) +
         ": szyfrowane połączenia GG (TLS) nie działają; uruchom program jako root albo nadaj mu je poleceniem " +
         SetcapLine(programFile) + " (jako root)";
}

std::string TlsCertificateHint(const std::string& path, const std::string& reason) {
  return "Szyfrowane połączenia GG (TLS) nie działają: nie udało się użyć certyfikatu „" + path + "” (" + reason +
         "). Popraw plik (certyfikat i jego klucz w formacie PEM) albo usuń go, a przy następnym uruchomieniu "
         "powstanie nowy.";
}

std::string HttpPortHint(const std::string& httpPort, const std::string& address, int ggPort) {
  return "Wyłącz funkcjonujący serwer HTTP by nie blokował portu " + httpPort +
         " lub skonfiguruj go tak, by na żądanie dokumentu „\\appsvc\\appmsg4.asp” odpowiadał " +
         ExpectedAnswer(address, ggPort);
}

std::string ProgramFile() {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? "/usr/bin/ordwin" : file.string();
}

std::string HttpPortRightsWarning(const std::string& httpPort, const std::string& programFile) {
  return "Nie udało się otworzyć portu " + httpPort + " !\r\rBrak uprawnień: port " + httpPort +
         " może otworzyć tylko root albo program z uprawnieniem CAP_NET_BIND_SERVICE. Nadaj je programowi raz "
         "(jako root, ponownie po każdej aktualizacji programu): " +
         SetcapLine(programFile);
}

std::string HttpPortRightsHint(const std::string& httpPort, const std::string& programFile) {
  return "Brak uprawnień do otwarcia portu " + httpPort + ": uruchom program jako root albo nadaj mu je poleceniem " +
         SetcapLine(programFile) + " (jako root)";
}

std::string KeptMessagesHint(const std::string& path) {
  return "Wiadomości dla nieobecnych czekają na ich zalogowanie (do 30 dni) w pliku „" + path +
         "”; wyłącza to „ordwin --keep-messages=off”.";
}

std::string KeptMessagesFailedHint(const std::string& path) {
  return "Nie udało się otworzyć pliku wiadomości „" + path +
         "” (przyczyna w dzienniku): wiadomości dla nieobecnych nie będą przechowywane.";
}

}  // namespace ordwin
