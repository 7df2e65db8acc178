/* WARNING: machine generated source created by narvelix */
#ifndef _META_Tarquel_HPP_
#define _META_Tarquel_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Tarquel_MetaDataRecord {
    uint32_t                         id;
    char                             name[8];
    char                             note_[8];
}; /* end Tarquel_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Tarquel_MetaDataRecord &arg)
{
    os << "[Tarquel_MetaDataRecord={";
    os << " id=" << arg.id;
    os << " name=\"" << AS_TEXT_BUFFER(arg.name, sizeof(arg.name)) << "\"";
    os << " note_=\"" << AS_TEXT_BUFFER(arg.note_, sizeof(arg.note_)) << "\"";
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Tarquel_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(name, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(note_, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Tarquel_MetaDataRecord>::fieldDescriptionTable = Tarquel_fields;
template<> inline const uint32_t MetaDataForFeed<Tarquel_MetaDataRecord>::totalFields = 3;
template<> inline const char MetaDataForFeed<Tarquel_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
