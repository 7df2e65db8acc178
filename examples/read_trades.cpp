// Loads examples/trades.csv, converted with
//   narvelix --cpp --name Trade -o trades.metadata examples/trades.csv
// through the struct of the generated header trades.metadata.hpp. The file
// has optional groups, so its records are variable-length and laid out
// differently from the struct; the reader copies each member from the field
// of the same name (absent optional fields read as zeros).
#include <cinttypes>
#include <cstdio>

#include "trades.metadata.hpp"
#include "utils/metadata/metadata_dump.hpp"  // formatFixedPointText
#include "utils/metadata/metadata_reader.hpp"

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "trades.metadata";
  MetaDataReader reader;
  if (reader.open(path) != MetaDataReader::METADATA_OK) {
    std::fprintf(stderr, "%s\n", reader.errorText());
    return 1;
  }
  Trade_MetaDataRecord trade;
  int64_t netQuantity = 0;
  while (reader.nextRecord(trade)) {
    char price[METADATA_MAX_NUMBER_TEXT];
    *formatFixedPointText(price, trade.price.value, static_cast<uint32_t>(trade.price.precision)) = '\0';
    std::printf("%" PRIu64 " %-4.8s %.8s %5d @ %-7s ref %" PRIu64 " \"%.24s\"\n", trade.trade_id,
                trade.symbol, trade.side, trade.quantity, price, trade.ref_trade, trade.note);
    netQuantity += trade.side[0] == 'B' ? trade.quantity : -trade.quantity;
  }
  if (reader.errorText()[0] != '\0') {  // the file does not fit the struct
    std::fprintf(stderr, "%s\n", reader.errorText());
    return 1;
  }
  std::printf("%u trades, net quantity %" PRId64 "\n", reader.totalRecords(), netQuantity);
  return 0;
}
