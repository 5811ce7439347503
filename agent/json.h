// Owners for json-c objects: released as soon as their text has been taken.
#pragma once

#include <memory>

#include <json-c/json.h>

struct json_put {
    void operator()(json_object *o) const { json_object_put(o); }
};

using json_ptr = std::unique_ptr<json_object, json_put>;

// Adds or replaces a string member.
inline bool json_add_string(json_object *o, const char *key, const char *value)
{
    json_object *s = json_object_new_string(value);
    return s && json_object_object_add(o, key, s) == 0;
}
