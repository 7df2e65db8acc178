/* WARNING: machine generated source created by narvelix */
#ifndef _META_Match_HPP_
#define _META_Match_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Match_MetaDataRecord {
    int32_t                          id;
    uint32_t                         count;
    uint64_t                         big;
    VariableFixedPointValue          price;
    char                             name[8];
}; /* end Match_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Match_MetaDataRecord &arg)
{
    os << "[Match_MetaDataRecord={";
    os << " id=" << arg.id;
    os << " count=" << arg.count;
    os << " big=" << arg.big;
    os << " price=" << arg.price;
    os << " name=\"" << AS_TEXT_BUFFER(arg.name, sizeof(arg.name)) << "\"";
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Match_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_INT32, Match_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(count, SMV_TYPE_UINT32, Match_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(big, SMV_TYPE_INT64, Match_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(price, SMV_TYPE_FIXED, Match_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(name, SMV_TYPE_STRING, Match_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Match_MetaDataRecord>::fieldDescriptionTable = Match_fields;
template<> inline const uint32_t MetaDataForFeed<Match_MetaDataRecord>::totalFields = 5;
template<> inline const char MetaDataForFeed<Match_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
