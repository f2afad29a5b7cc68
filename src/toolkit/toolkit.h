// What the program calls outside itself: the toolkit's names and the interpreter's urllib2.
// The toolkit is a platform of the program; nothing here depends on its internals.
#pragma once

namespace toolkit {

inline constexpr const char* package = "Tarvo";
inline constexpr const char* missing_dependency_error = "MissingExternalDependencyError";

inline constexpr const char* blast_package = "Tarvo.Blast";
inline constexpr const char* client = "Skelda";  // its qblast(program, database, query, **options)
inline constexpr const char* reader = "Morvin";  // its read(handle) gives a result record
inline constexpr const char* qblast = "qblast";
inline constexpr const char* read = "read";

// The error type of an HTTP failure, from the interpreter's standard library.
inline constexpr const char* http_module = "urllib2";
inline constexpr const char* http_error = "HTTPError";

// The result record and its entries, as the checks read them.
namespace record {
inline constexpr const char* query = "query";
inline constexpr const char* query_id = "query_id";
inline constexpr const char* query_letters = "query_letters";
inline constexpr const char* expect = "expect";
inline constexpr const char* application = "application";
inline constexpr const char* alignments = "alignments";
inline constexpr const char* descriptions = "descriptions";
inline constexpr const char* hit_id = "hit_id";        // of an alignment
inline constexpr const char* accession = "accession";  // of a description
inline constexpr const char* title = "title";          // of a description
}  // namespace record

}  // namespace toolkit
