#include "Base/Dev/Config/Config.h"

#include <map>
#include <mutex>

namespace
{
struct Item
{
    std::string defaultValue;
    std::string description;
    Config::Validator validator;
    bool isSet = false;
    std::string value;
};

struct Store
{
    std::mutex mutex;
    std::map<std::string, Item> items;
    std::vector<Config::Listener> listeners;
};

Store& TheStore()
{
    static Store* store = new Store(); // used by other static objects until the process ends
    return *store;
}

void Notify(const std::string& name)
{
    std::vector<Config::Listener> listeners;
    {
        std::lock_guard<std::mutex> lock(TheStore().mutex);
        listeners = TheStore().listeners;
    }
    for (const Config::Listener& l : listeners)
        l(name);
}
} // namespace

namespace Config
{
bool Define(const std::string& name, const std::string& defaultValue, const std::string& description,
            Validator validator)
{
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    return TheStore().items.emplace(name, Item{defaultValue, description, std::move(validator), false, ""}).second;
}

bool IsDefined(const std::string& name)
{
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    return TheStore().items.count(name) != 0;
}

std::string Get(const std::string& name)
{
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    auto it = TheStore().items.find(name);
    if (it == TheStore().items.end())
        return std::string();
    return it->second.isSet ? it->second.value : it->second.defaultValue;
}

std::string Description(const std::string& name)
{
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    auto it = TheStore().items.find(name);
    return it == TheStore().items.end() ? std::string() : it->second.description;
}

bool Set(const std::string& name, const std::string& value)
{
    {
        std::lock_guard<std::mutex> lock(TheStore().mutex);
        auto it = TheStore().items.find(name);
        if (it == TheStore().items.end() || (it->second.validator && !it->second.validator(value)))
            return false;
        it->second.isSet = true;
        it->second.value = value;
    }
    Notify(name);
    return true;
}

void Reset(const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(TheStore().mutex);
        auto it = TheStore().items.find(name);
        if (it == TheStore().items.end())
            return;
        it->second.isSet = false;
        it->second.value.clear();
    }
    Notify(name);
}

std::vector<std::string> LoadCommandLine(const std::vector<std::string>& arguments)
{
    std::vector<std::string> rejected;
    for (size_t i = 1; i < arguments.size(); ++i)
    {
        const std::string& a = arguments[i];
        const size_t eq = a.find('=');
        if (eq == std::string::npos || !Set(a.substr(0, eq), a.substr(eq + 1)))
            rejected.push_back(a);
    }
    return rejected;
}

void AddListener(Listener listener)
{
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    TheStore().listeners.push_back(std::move(listener));
}

std::vector<std::string> Names()
{
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    std::vector<std::string> names;
    for (const auto& [name, item] : TheStore().items)
        names.push_back(name);
    return names;
}
} // namespace Config
