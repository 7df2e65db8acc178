// A user's program built against an installed narvelix: it includes the public
// headers and links the utility library.
#include <utils/metadata/UniversalMetaData.hpp>
#include <utils/logging/logging_api.hpp>

int main() {
  return sizeof(UniversalMetaData_ReferenceFileHeader) == 24 ? 0 : 1;
}
