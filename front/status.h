// The statuses a run reports, with their messages: every one the driver and the flows
// pass to status_exit. A status box shows the number with three digits (048).
#ifndef PORTWRANGLER_FRONT_STATUS_H_
#define PORTWRANGLER_FRONT_STATUS_H_

constexpr int kStatusSyntaxError = 0;
constexpr int kStatusHelp = 963;
constexpr int kStatusNoRouter = 48;  // discovery failed
constexpr int kStatusNoExternalAddress = 49;
constexpr int kStatusDuplicate = 50;  // the add's clash check found an entry
constexpr int kStatusAddRefused = 51;
constexpr int kStatusRemoveRefusedQuick = 52;  // after -q, so with no search first
constexpr int kStatusRemoveRefused = 53;
constexpr int kStatusEnumerateFailed = 54;  // not one entry could be read
constexpr int kStatusNoLocalAddress = 55;
constexpr int kStatusFailure = 24576;  // silent: after a not-added / not-removed box
constexpr int kStatusSuccess = 37906;  // silent

constexpr char kMessageSyntax[] = "Portwrangler - Syntax Information";
constexpr char kMessageNoRouter[] =
    "SSDP Discovery Service Failure -> Unable To Locate UPnP Router.";
constexpr char kMessageNoLocalAddress[] =
    "Internal IP Address Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageNoExternalAddress[] =
    "External IP Address Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageDuplicate[] = "Add Entry Failure -> Duplicate Entry Found On UPnP Router.";
constexpr char kMessageAddRefused[] = "Add Entry Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageRemoveDenied[] =
    "Remove Entry Failure -> Access Denied Response From UPnP Router.";
constexpr char kMessageRemoveRefused[] =
    "Remove Entry Failure -> Invalid Response From UPnP Router.";
constexpr char kMessageEnumerateFailed[] =
    "Enumerate Failure -> Invalid Response From UPnP Router.";

#endif  // PORTWRANGLER_FRONT_STATUS_H_
