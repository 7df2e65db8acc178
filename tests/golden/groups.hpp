/* WARNING: machine generated source created by narvelix */
#ifndef _META_Tarquel_HPP_
#define _META_Tarquel_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Tarquel_MetaDataRecord {
    uint32_t                         id;
    char                             street[8];
    char                             city[16];
    char                             note[8];
    uint32_t                         zip;
}; /* end Tarquel_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Tarquel_MetaDataRecord &arg)
{
    os << "[Tarquel_MetaDataRecord={";
    os << " id=" << arg.id;
    os << " street=\"" << AS_TEXT_BUFFER(arg.street, sizeof(arg.street)) << "\"";
    os << " city=\"" << AS_TEXT_BUFFER(arg.city, sizeof(arg.city)) << "\"";
    os << " note=\"" << AS_TEXT_BUFFER(arg.note, sizeof(arg.note)) << "\"";
    os << " zip=" << arg.zip;
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Tarquel_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(2, street, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(2, city, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(3, note, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(zip, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Tarquel_MetaDataRecord>::fieldDescriptionTable = Tarquel_fields;
template<> inline const uint32_t MetaDataForFeed<Tarquel_MetaDataRecord>::totalFields = 5;
template<> inline const char MetaDataForFeed<Tarquel_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
