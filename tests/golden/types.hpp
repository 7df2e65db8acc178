/* WARNING: machine generated source created by narvelix */
#ifndef _META_Tarquel_HPP_
#define _META_Tarquel_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Tarquel_MetaDataRecord {
    uint32_t                         id;
    uint64_t                         delta;
    uint64_t                         big;
    uint64_t                         neg;
    VariableFixedPointValue          price;
    char                             name[8];
    char                             blank[0];
}; /* end Tarquel_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Tarquel_MetaDataRecord &arg)
{
    os << "[Tarquel_MetaDataRecord={";
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

const struct UniversalMetaData_FieldDescription Tarquel_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(delta, SMV_TYPE_INT64, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(big, SMV_TYPE_UINT64, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(neg, SMV_TYPE_INT64, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(price, SMV_TYPE_FIXED, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(name, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(blank, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Tarquel_MetaDataRecord>::fieldDescriptionTable = Tarquel_fields;
template<> inline const uint32_t MetaDataForFeed<Tarquel_MetaDataRecord>::totalFields = 7;
template<> inline const char MetaDataForFeed<Tarquel_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
