#pragma once
// COpenHours: a shop's opening hours as written in its settings, such as
// "Mon-Fri 08:00-20:00; Sat 09:00-17:00". Entries are separated by ';'; each names days (Mon to
// Sun, single days and ranges such as Fri-Mon, several with ',') and one or more time ranges
// (separated by ',' or spaces). 00:00-24:00 is the whole day; a range whose end is not after its
// start, such as 22:00-02:00, runs past midnight into the next day (a night shop). Empty text is
// always open. Times are local times as FILETIME counts of a local SYSTEMTIME.
#include <vector>

#include "platform/String.h"

class COpenHours {
public:
    // Always open.
    COpenHours() = default;

    // Reads text; on failure says why and stays (or becomes) always open.
    bool Parse(const CString& text, CString& why);

    bool Always() const { return m_open.empty(); }
    // The 100-ns units of [from, to) that lie inside the hours.
    unsigned long long OpenBetween(unsigned long long from, unsigned long long to) const;

private:
    // Minutes of the week, Monday 00:00 first: [begin, end), sorted, not overlapping.
    struct Span {
        unsigned begin;
        unsigned end;
    };
    std::vector<Span> m_open;
};
