// Result classes that are plain records: read-only attributes holding
// immutable Python values (str, bytes, int, bool, None), made once when the
// result is made. The extended API's outcomes are such records, so a face
// reads kinds, errnos and bytes, never text it must parse.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boundary.hpp"

namespace orvalnest::py {

struct RecordField {
    const char* name;
    const char* doc;
};

struct RecordSpec {
    const char* qualified_name;  // "orvalnest._engine.TrashOutcome"
    const char* doc;
    std::span<const RecordField> fields;  // in attribute order, living for the process
    std::size_t shown;                    // how many leading fields the repr shows
};

// The class described by `spec`, made on first use and kept in `storage`.
PyResult<PyTypeObject*> record_class(PyTypeObject*& storage, const RecordSpec& spec);

// An instance of the record class `cls` made from `spec`, holding `values`
// (one per field, in order; each a new reference it takes over).
PyResult<Ref> make_record(PyTypeObject* cls, const RecordSpec& spec, std::vector<Ref> values);

// Values for records.
PyResult<Ref> to_bytes(std::string_view bytes);
Ref none();
// A str (lossy text) or None.
PyResult<Ref> optional_text(const std::optional<std::string>& bytes);
PyResult<Ref> optional_bytes(const std::optional<std::string>& bytes);

}  // namespace orvalnest::py
