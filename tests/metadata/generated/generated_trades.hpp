/* WARNING: machine generated source created by narvelix */
#ifndef _META_Trades_HPP_
#define _META_Trades_HPP_ "$Id$"

#include <utils/metadata/UniversalMetaData.hpp>

struct Trades_MetaDataRecord {
    int32_t                          tradeId;
    uint32_t                         quantity;
    uint64_t                         bigCount;
    uint64_t                         volume;
    VariableFixedPointValue          price;
    char                             symbol[8];
    char                             note[16];
    VariableFixedPointValue          fee;
}; /* end Trades_MetaDataRecord */

template <typename STREAMTYPE> STREAMTYPE & operator<<(STREAMTYPE &os, const Trades_MetaDataRecord &arg)
{
    os << "[Trades_MetaDataRecord={";
    os << " tradeId=" << arg.tradeId;
    os << " quantity=" << arg.quantity;
    os << " bigCount=" << arg.bigCount;
    os << " volume=" << arg.volume;
    os << " price=" << arg.price;
    os << " symbol=\"" << AS_TEXT_BUFFER(arg.symbol, sizeof(arg.symbol)) << "\"";
    os << " note=\"" << AS_TEXT_BUFFER(arg.note, sizeof(arg.note)) << "\"";
    os << " fee=" << arg.fee;
    os << " }]";
    return (os);
}

const struct UniversalMetaData_FieldDescription Trades_fields[] = {
    DESCRIBE_FIELD_OF_CLASS(tradeId, SMV_TYPE_INT32, Trades_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(quantity, SMV_TYPE_UINT32, Trades_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(bigCount, SMV_TYPE_INT64, Trades_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(volume, SMV_TYPE_UINT64, Trades_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(price, SMV_TYPE_FIXED, Trades_MetaDataRecord),
    DESCRIBE_FIELD_OF_CLASS(symbol, SMV_TYPE_STRING, Trades_MetaDataRecord),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(2, note, SMV_TYPE_STRING, Trades_MetaDataRecord),
    DESCRIBE_OPTIONAL_FIELD_OF_CLASS(3, fee, SMV_TYPE_FIXED, Trades_MetaDataRecord),
    {0, 0, 0, 0, {}, {}} // end of table marker
};

// link field descriptions to transformation filters
template<> inline const UniversalMetaData_FieldDescription *MetaDataForFeed<Trades_MetaDataRecord>::fieldDescriptionTable = Trades_fields;
template<> inline const uint32_t MetaDataForFeed<Trades_MetaDataRecord>::totalFields = 8;
template<> inline const char MetaDataForFeed<Trades_MetaDataRecord>::magicNumber[sizeof(((UniversalMetaData_ReferenceFileHeader *)(nullptr))->magicNumber) + 1] = {"METADATA"};

#endif
/* vim: set expandtab shiftwidth=4 tabstop=4: */
