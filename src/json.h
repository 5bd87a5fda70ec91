#ifndef ORVTQUPDATE_JSON_H
#define ORVTQUPDATE_JSON_H

#include <string>
#include <utility>
#include <vector>

// A JSON value as read (RFC 8259): its kind and, by kind, its truth, number, text, items or
// members in the order written.
struct jsonValue {
    enum Kind { NUL, BOOLEAN, NUMBER, TEXT, ARRAY, OBJECT } kind = NUL;
    bool truth = false;
    double number = 0;
    std::string text;
    std::vector<jsonValue> items;
    std::vector<std::pair<std::string, jsonValue>> members;
};

// Reads text as one JSON document into value; false when it is not one, or nests too deep.
bool parseJson(const std::string &text, jsonValue &value);

// The first member of object named key, or nullptr when there is none or object is no object.
const jsonValue *member(const jsonValue &object, const char *key);

#endif
