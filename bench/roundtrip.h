// Cost of the progress message alone: a worker thread calls the program's
// ReportDownloadProgress (one blocking SendMessageA) N times while this
// thread pumps with GetMessageA / TranslateMessage / DispatchMessageA, as
// the program's message loop does.
#pragma once

namespace bench {

// szVariant: "noop" (a window whose procedure only counts the message),
// "page" (the visible page, ShowDownloadPercent per message, the same
// percent each time as between most blocks of a large download), "moving"
// (the same with the percent changing at every message, as in a download of
// about 100 blocks) or "hidden" (the page hidden, the same percent). Prints
// one tab-separated record:
//   roundtrip <variant> <timed messages> <sent> <handled> <ms> <text paints> <percent text or ->
//   <first ms>
// ms covers the nMessages timed sends; first ms the 64 sends before them,
// the first ones to a freshly shown window. Returns
// the exit code: 0 once the record is printed, 3 when the window cannot be
// made, 4 when the sends did not end in time.
int RoundTrip(const char* szVariant, int nMessages);

}  // namespace bench
