// A --json document as a program reads it: tests/json_document.py parses it
// strictly and validates it against doc/vexmora.schema.json with jsonschema,
// then gives every value by its path ("processors.2.apic_id") as JSON text.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

struct CheckedDocument {
    std::map<std::string, std::string> values;

    // The value at the path as JSON text ("null", "26", "\"on\""); "absent" where there is none.
    std::string operator[](const std::string& path) const;
    // How many elements the array at the path has.
    size_t Count(const std::string& arrayPath) const;
};

// Fails the calling test, with the validator's reasons, when the document is not valid.
::testing::AssertionResult ValidDocument(const std::string& text, CheckedDocument* out);
