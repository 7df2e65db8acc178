/* WARNING: machine generated source created by narvelix */
#ifndef _META_Dense_HPP_
#define _META_Dense_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

#pragma pack(push,1)
struct Dense_MetaDataRecord {
    uint32_t                         id;
    uint64_t                         delta;
    uint64_t                         big;
    uint64_t                         neg;
    VariableFixedPointValue          price;
    char                             name[5];
    char                             blank[0];
}; /* end Dense_MetaDataRecord */
#pragma pack(pop)

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Dense_MetaDataRecord &arg)
{
    os << "[Dense_MetaDataRecord={";
    os << " id=" << arg.id;
    os << " delta=" << arg.delta;
    os << " big=" << arg.big;
    os << " neg=" << arg.neg;
    os << " price=" << arg.price;
    os << " name=\"" << AS_TEXT_BUFFER(arg.name, sizeof(arg.name)) << "\"";
    os << " blank=\"" << AS_TEXT_BUFFER(arg.blank, sizeof(arg.blank)) << "\"";
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Dense_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_UINT32, Dense_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(delta, SMV_TYPE_INT64, Dense_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(big, SMV_TYPE_UINT64, Dense_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(neg, SMV_TYPE_INT64, Dense_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(price, SMV_TYPE_FIXED, Dense_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(name, SMV_TYPE_STRING, Dense_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(blank, SMV_TYPE_STRING, Dense_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Dense_MetaDataRecord>::fieldDescriptionTable = Dense_fields;
template<> inline const uint32_t MetaDataForFeed<Dense_MetaDataRecord>::totalFields = 7;
template<> inline const char MetaDataForFeed<Dense_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"DNS"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
