/* WARNING: machine generated source created by narvelix */
#ifndef _META_Dense_HPP_
#define _META_Dense_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

#pragma pack(push,1)
struct Dense_MetaDataRecord {
    int32_t                          flag;
    char                             label[5];
    VariableFixedPointValue          amount;
}; /* end Dense_MetaDataRecord */
#pragma pack(pop)

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Dense_MetaDataRecord &arg)
{
    os << "[Dense_MetaDataRecord={";
    os << " flag=" << arg.flag;
    os << " label=\"" << AS_TEXT_BUFFER(arg.label, sizeof(arg.label)) << "\"";
    os << " amount=" << arg.amount;
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Dense_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(flag, SMV_TYPE_INT32, Dense_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(label, SMV_TYPE_STRING, Dense_MetaDataRecord),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(2, amount, SMV_TYPE_FIXED, Dense_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Dense_MetaDataRecord>::fieldDescriptionTable = Dense_fields;
template<> inline const uint32_t MetaDataForFeed<Dense_MetaDataRecord>::totalFields = 3;
template<> inline const char MetaDataForFeed<Dense_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"TK"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
