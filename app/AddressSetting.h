// The program's persisted settings in QSettings("Malvory", "RIDuziva"), group "ustawienia": the
// server address given to clients (key "adres") and whether messages for people who are not
// connected are kept (key "przechowuj"). The store is opened afresh, and created when absent, at
// every access; nothing is kept between accesses.
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

// The folder the store lies in (UTF-8), where the program keeps its other settings' files.
std::string SettingsFolder();

// Whether messages are kept for numbers with no connection: "przechowuj" holds "tak" (or "true",
// "1"); off when it is absent, holds anything else, or the store cannot be read.
bool LoadKeepMessagesSetting();
// Writes "tak", or removes the key, and makes it durable. Raises Exception "Failed to create key
// ustawienia" or "Failed to set data for 'przechowuj'" as StoreAddressSetting does.
void StoreKeepMessagesSetting(bool keep);

}  // namespace ordwin
