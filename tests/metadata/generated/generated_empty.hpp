/* WARNING: machine generated source created by narvelix */
#ifndef _META_Empty_HPP_
#define _META_Empty_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Empty_MetaDataRecord {
}; /* end Empty_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Empty_MetaDataRecord &arg)
{
    os << "[Empty_MetaDataRecord={";
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Empty_fields[] = {
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Empty_MetaDataRecord>::fieldDescriptionTable = Empty_fields;
template<> inline const uint32_t MetaDataForFeed<Empty_MetaDataRecord>::totalFields = 0;
template<> inline const char MetaDataForFeed<Empty_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
