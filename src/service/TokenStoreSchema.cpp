#include "TokenStoreSchema.h"

namespace TokenStoreSchema {

namespace {

// String attributes service and account, and `extra` when given; the zeroed rest ends the list.
SecretSchema makeSchema(const char *schemaName, const char *extra) {
    SecretSchema schema{};
    schema.name = schemaName;
    schema.flags = SECRET_SCHEMA_NONE;
    schema.attributes[0] = {serviceAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema.attributes[1] = {accountAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING};
    if (extra)
        schema.attributes[2] = {extra, SECRET_SCHEMA_ATTRIBUTE_STRING};
    return schema;
}

} // namespace

const SecretSchema *schema() {
    static const SecretSchema instance = makeSchema(name, nullptr);
    return &instance;
}

const SecretSchema *originSchema() {
    static const SecretSchema instance = makeSchema(originName, originAttribute);
    return &instance;
}

} // namespace TokenStoreSchema
