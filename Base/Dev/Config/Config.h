// Named configuration items: a text value with a default and a description, defined once, read by
// name, loaded from a command line ("name=value" arguments) or set by the host program.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace Config
{
// Tells whether a value is acceptable for an item.
using Validator = std::function<bool(const std::string& value)>;
// Called with the item's name after its value changed.
using Listener = std::function<void(const std::string& name)>;

// Defines an item; a second definition of the same name changes nothing and answers false.
bool Define(const std::string& name, const std::string& defaultValue, const std::string& description,
            Validator validator = nullptr);
bool IsDefined(const std::string& name);
// The value, else the default; "" for an undefined item.
std::string Get(const std::string& name);
std::string Description(const std::string& name);
// Sets a defined item to a value its validator accepts; false otherwise (the value is unchanged).
bool Set(const std::string& name, const std::string& value);
// Back to the default.
void Reset(const std::string& name);
// Every "name=value" argument sets that item; the first argument is the program and is skipped.
// Answers the arguments that named no defined item or held an unacceptable value.
std::vector<std::string> LoadCommandLine(const std::vector<std::string>& arguments);
void AddListener(Listener listener);
std::vector<std::string> Names();
} // namespace Config
