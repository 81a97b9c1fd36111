#pragma once
// COpenHours: a shop's opening hours as written in its settings, such as
// "Mon-Fri 08:00-20:00; Sat 09:00-17:00". Entries are separated by ';'; each names days (Mon to
// Sun, single days and ranges such as Fri-Mon, several with ',') and one or more time ranges
// (separated by ',' or spaces). 00:00-24:00 is the whole day; a range whose end is not after its
// start, such as 22:00-02:00, runs past midnight into the next day (a night shop). Empty text is
// always open. Times are local times as FILETIME counts of a local SYSTEMTIME.
// A silence is counted within one spell of opening: the night between closing and opening is
// no part of it, nor is the evening before.
#include <vector>

#include "platform/String.h"

class COpenHours {
public:
    // Always open.
    COpenHours() = default;

    // Reads text; on failure says why and stays (or becomes) always open.
    bool Parse(const CString& text, CString& why);

    bool Always() const { return m_open.empty(); }
    // True when open at local; since is then when this spell of opening began (0 when always
    // open). A night shop's spell runs on past midnight.
    bool OpenAt(unsigned long long local, unsigned long long& since) const;

private:
    // Minutes of the week, Monday 00:00 first: [begin, end), sorted, not overlapping.
    struct Span {
        unsigned begin;
        unsigned end;
    };
    std::vector<Span> m_open;
};
