#include "TokenStoreSchema.h"

namespace TokenStoreSchema {

const SecretSchema *schema() {
    static const SecretSchema instance = {name,
                                          SECRET_SCHEMA_NONE,
                                          {
                                              {serviceAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {accountAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          },
                                          0,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr};
    return &instance;
}

const SecretSchema *originSchema() {
    static const SecretSchema instance = {originName,
                                          SECRET_SCHEMA_NONE,
                                          {
                                              {serviceAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {accountAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {originAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          },
                                          0,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr};
    return &instance;
}

} // namespace TokenStoreSchema
