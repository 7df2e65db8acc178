/* WARNING: machine generated source created by narvelix */
#ifndef _META_Tarquel_HPP_
#define _META_Tarquel_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Tarquel_MetaDataRecord {
    uint32_t                         id;
    VariableFixedPointValue          price;
    uint32_t                         qty_total;
    char                             a_b_c[16];
}; /* end Tarquel_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Tarquel_MetaDataRecord &arg)
{
    os << "[Tarquel_MetaDataRecord={";
    os << " id=" << arg.id;
    os << " price=" << arg.price;
    os << " qty_total=" << arg.qty_total;
    os << " a_b_c=\"" << AS_TEXT_BUFFER(arg.a_b_c, sizeof(arg.a_b_c)) << "\"";
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Tarquel_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(price, SMV_TYPE_FIXED, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(qty_total, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(a_b_c, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Tarquel_MetaDataRecord>::fieldDescriptionTable = Tarquel_fields;
template<> inline const uint32_t MetaDataForFeed<Tarquel_MetaDataRecord>::totalFields = 4;
template<> inline const char MetaDataForFeed<Tarquel_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
