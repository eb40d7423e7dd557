// The pattern a configured locale name must match, checked with Boost.Regex. A library of its own,
// opened only when a locale is configured, so that other starts map neither Boost.Regex nor the ICU
// libraries it brings.
#include <boost/regex.hpp>

extern "C" __attribute__((visibility("default"))) bool LocaleCheck_NameMatches(const char* name)
{
    static const boost::regex pattern("[A-Za-z]{2,}(_[A-Za-z]{2,}(\\.[0-9]{1,4})?)?");
    return name != nullptr && boost::regex_match(name, pattern);
}
