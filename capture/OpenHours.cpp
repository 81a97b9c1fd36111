#include "capture/OpenHours.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "capture/CaptureClock.h"

namespace {

const unsigned kDayMinutes = 24 * 60;
const unsigned kWeekMinutes = 7 * kDayMinutes;
const char* const kDays[7] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> Split(const std::string& s, const char* separators)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        size_t next = s.find_first_of(separators, at);
        std::string part = Trim(s.substr(at, next == std::string::npos ? std::string::npos : next - at));
        if (!part.empty()) parts.push_back(part);
        if (next == std::string::npos) return parts;
        at = next + 1;
    }
}

int Day(std::string name)
{
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int d = 0; d < 7; ++d)
        if (name == kDays[d]) return d;
    return -1;
}

// "08:00" as minutes of the day; 24:00 only as an end.
bool Minutes(const std::string& text, bool end, unsigned& minutes)
{
    unsigned h = 0, m = 0;
    if (text.size() < 4 || text.size() > 5) return false;
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || text.size() - colon != 3) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != colon && !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    h = static_cast<unsigned>(std::stoul(text.substr(0, colon)));
    m = static_cast<unsigned>(std::stoul(text.substr(colon + 1)));
    if (m > 59 || h > 24 || (h == 24 && (m != 0 || !end))) return false;
    minutes = h * 60 + m;
    return true;
}

} // namespace

bool COpenHours::Parse(const CString& text, CString& why)
{
    m_open.clear();
    std::vector<Span> open;
    for (const std::string& entry : Split(text.GetString(), ";")) {
        // The days come first, up to the first space.
        size_t space = entry.find_first_of(" \t");
        if (space == std::string::npos) {
            why.Format("\"%s\" gives no times", entry.c_str());
            return false;
        }
        std::vector<bool> days(7, false);
        for (const std::string& item : Split(entry.substr(0, space), ",")) {
            size_t dash = item.find('-');
            int first = Day(dash == std::string::npos ? item : item.substr(0, dash));
            int last = dash == std::string::npos ? first : Day(item.substr(dash + 1));
            if (first < 0 || last < 0) {
                why.Format("\"%s\" is not a day or a range of days (Mon to Sun)", item.c_str());
                return false;
            }
            // Fri-Mon runs over the weekend.
            for (int d = first;; d = (d + 1) % 7) {
                days[d] = true;
                if (d == last) break;
            }
        }
        for (const std::string& range : Split(entry.substr(space + 1), ", \t")) {
            size_t dash = range.find('-');
            unsigned from = 0, to = 0;
            if (dash == std::string::npos || !Minutes(range.substr(0, dash), false, from) ||
                !Minutes(range.substr(dash + 1), true, to)) {
                why.Format("\"%s\" is not a range of times such as 08:00-20:00", range.c_str());
                return false;
            }
            if (from == to) {
                why.Format("\"%s\" is an empty range", range.c_str());
                return false;
            }
            // An end not after the start is the next day's.
            const unsigned length = to > from ? to - from : kDayMinutes - from + to;
            for (unsigned d = 0; d < 7; ++d) {
                if (!days[d]) continue;
                const unsigned begin = d * kDayMinutes + from, end = begin + length;
                if (end <= kWeekMinutes) {
                    open.push_back({begin, end});
                } else {
                    // Sunday night runs into Monday morning.
                    open.push_back({begin, kWeekMinutes});
                    open.push_back({0, end - kWeekMinutes});
                }
            }
        }
    }
    if (open.empty() && !Trim(text.GetString()).empty()) {
        why = "it names no days and times";
        return false;
    }
    std::sort(open.begin(), open.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    // Overlapping and touching spans become one, so that no minute counts twice.
    for (const Span& s : open) {
        if (!m_open.empty() && s.begin <= m_open.back().end)
            m_open.back().end = std::max(m_open.back().end, s.end);
        else
            m_open.push_back(s);
    }
    return true;
}

bool COpenHours::OpenAt(unsigned long long local, unsigned long long& since) const
{
    since = 0;
    if (Always()) return true;
    // FILETIME counts begin on Monday, 1 January 1601: weeks begin on Mondays.
    const unsigned long long week = kWeekMinutes * kFileTimeMinute;
    const unsigned long long weekStart = local / week * week;
    const unsigned minute = static_cast<unsigned>((local - weekStart) / kFileTimeMinute);
    for (const Span& s : m_open) {
        if (minute < s.begin || minute >= s.end) continue;
        if (s.begin == 0 && m_open.back().end == kWeekMinutes) {
            // Open all week round: always.
            if (m_open.size() == 1) return true;
            // Sunday night's spell runs on into Monday.
            if (weekStart >= week) since = weekStart - week + m_open.back().begin * kFileTimeMinute;
            return true;
        }
        since = weekStart + s.begin * kFileTimeMinute;
        return true;
    }
    return false;
}
