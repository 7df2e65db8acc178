/* WARNING: machine generated source created by narvelix */
#ifndef _META_Tarquel_HPP_
#define _META_Tarquel_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Tarquel_MetaDataRecord {
    uint32_t                         _1960;
    char                             private_[8];
    char                             _120_jefferson_s[16];
    VariableFixedPointValue          _Total_;
    int32_t                          a__b_;
    char                             Long_column_nam[8];
    char                             Long_column_nam_2[8];
    uint32_t                         id;
    uint32_t                         id_2;
    char                             class_[8];
}; /* end Tarquel_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Tarquel_MetaDataRecord &arg)
{
    os << "[Tarquel_MetaDataRecord={";
    os << " 1960=" << arg._1960;
    os << " private=\"" << AS_TEXT_BUFFER(arg.private_, sizeof(arg.private_)) << "\"";
    os << " 120_jefferson_s=\"" << AS_TEXT_BUFFER(arg._120_jefferson_s, sizeof(arg._120_jefferson_s)) << "\"";
    os << " _Total=" << arg._Total_;
    os << " a__b=" << arg.a__b_;
    os << " Long_column_nam=\"" << AS_TEXT_BUFFER(arg.Long_column_nam, sizeof(arg.Long_column_nam)) << "\"";
    os << " Long_column_nam=\"" << AS_TEXT_BUFFER(arg.Long_column_nam_2, sizeof(arg.Long_column_nam_2)) << "\"";
    os << " id=" << arg.id;
    os << " id=" << arg.id_2;
    os << " class=\"" << AS_TEXT_BUFFER(arg.class_, sizeof(arg.class_)) << "\"";
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Tarquel_fields[] = {
    DESCRIBE_NAMED_FIELD_OF_CLASS("1960", _1960, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_NAMED_FIELD_OF_CLASS("private", private_, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_NAMED_FIELD_OF_CLASS("120_jefferson_s", _120_jefferson_s, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_NAMED_FIELD_OF_CLASS("_Total", _Total_, SMV_TYPE_FIXED, Tarquel_MetaDataRecord),
    DESCRIBE_NAMED_FIELD_OF_CLASS("a__b", a__b_, SMV_TYPE_INT32, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(Long_column_nam, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_NAMED_FIELD_OF_CLASS("Long_column_nam", Long_column_nam_2, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(id, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_NAMED_FIELD_OF_CLASS("id", id_2, SMV_TYPE_UINT32, Tarquel_MetaDataRecord),
    DESCRIBE_OPTIONAL_NAMED_FIELD_OF_CLASS(2, "class", class_, SMV_TYPE_STRING, Tarquel_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Tarquel_MetaDataRecord>::fieldDescriptionTable = Tarquel_fields;
template<> inline const uint32_t MetaDataForFeed<Tarquel_MetaDataRecord>::totalFields = 10;
template<> inline const char MetaDataForFeed<Tarquel_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
