#pragma once

#include <QIcon>
#include <QString>

#include <map>

// The images of the toolbar and the address-book tree, by the index the windows and the
// address book use (AddressBook::kGroupImage and kRecipientImage are 1 and 2).
namespace StationImages {
inline constexpr int Settings = 0;
inline constexpr int Group = 1;
inline constexpr int Recipient = 2;
inline constexpr int NewRecipient = 3;
inline constexpr int DeleteRecipient = 4; // a recipient or a group
inline constexpr int Membership = 5;
inline constexpr int NewMessage = 6;
inline constexpr int DeleteMessage = 7;
inline constexpr int About = 8;
inline constexpr int Help = 9;
inline constexpr int Count = 10;
} // namespace StationImages

// A null icon for an index outside 0 to StationImages::Count - 1.
QIcon StationImage(int index);

// The window and tray icon of the station.
QIcon ProgramIcon();

// An icon of the square PNG images at files' paths, by size; each is decoded when a size near it
// is first shown, without probing the system's image format plug-ins.
QIcon IconFromPngFiles(std::map<int, QString> files);
