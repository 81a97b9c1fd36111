// Stand-in: passes the bytes through unchanged until the real converter is merged.
#include "service/ReceiptText.h"

CReceiptText::CReceiptText(unsigned codePage)
{
    (void)codePage;
}

bool CReceiptText::Supports(unsigned codePage)
{
    return codePage == 437 || codePage == 850 || codePage == 858 || codePage == 1252;
}

void CReceiptText::Feed(const char* data, size_t size)
{
    m_text.append(data, size);
}

std::string CReceiptText::TakeAll()
{
    std::string all;
    all.swap(m_text);
    return all;
}

std::string CReceiptText::TakeLines()
{
    const size_t end = m_text.rfind("\r\n");
    if (end == std::string::npos) return std::string();
    std::string lines = m_text.substr(0, end + 2);
    m_text.erase(0, end + 2);
    return lines;
}
