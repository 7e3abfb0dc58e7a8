// The program's one persisted setting, the server address given to clients:
// QSettings("Malvory", "RIDuziva"), group "ustawienia", key "adres". The store is opened afresh,
// and created when absent, at every access; nothing is kept between accesses.
#pragma once

#include <string>

namespace ordwin {

inline constexpr const char* kDefaultAddress = "localhost";

// The stored address as UTF-8; "localhost" when the store cannot be opened or created, or holds
// no such value. Raises Exception "Invalid data type for 'adres'" when the value is not text
// (a list, a byte array or another typed value).
std::string LoadAddressSetting();

// Writes text whole and makes it durable. Raises Exception "Failed to create key ustawienia"
// when the store cannot be created, "Failed to set data for 'adres'" when the write fails.
void StoreAddressSetting(const std::string& text);

}  // namespace ordwin
