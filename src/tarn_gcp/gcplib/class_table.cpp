// The method table, made from the rows of class_table.hpp.
#include "class_table.hpp"

namespace gcp {

namespace {

const char* const wait_doc =
    "Waits for the given operation to complete.\n"
    "\n"
    "        Args:\n"
    "        compute: an initialized compute service object.\n"
    "        project: the Google Cloud project ID.\n"
    "        zone: the name of the zone in which the operation should be executed.\n"
    "        operation: the operation ID.\n"
    "\n"
    "        Returns:\n"
    "        The result of the operation.\n"
    "        ";

}  // namespace

#define GCP_TABLE_ROW(name, params, defaults, annotations, doc)                   \
    {#name, {GCP_UNWRAP params}, {GCP_UNWRAP defaults}, {GCP_UNWRAP annotations}, \
     doc,   invoke<&name>},
const MethodSpec method_table[method_count] = {GCPLIB_METHODS(GCP_TABLE_ROW)};
#undef GCP_TABLE_ROW

}  // namespace gcp
